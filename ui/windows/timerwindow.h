// The schedule dialog: a day (of the month, of the week, or every day), a month (or every
// month), an hour and a minute. OK writes them to the "Timer" section of the settings file;
// Annulla leaves the file alone.
#pragma once

#include <QDialog>
#include <QPixmap>

#include "platform/profile.h"
#include "ui/schedule.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace kv {

class Catalogue;
class DialogHost;

// An up-down control beside an edit box: its arrows (and the arrow keys in the box) step the
// number in the box between a minimum and a maximum, wrapping around at either end.
class UpDown : public QWidget {
    Q_OBJECT

public:
    UpDown(QLineEdit* associate, int min, int max, int position, QWidget* parent);
    int Position() const { return position_; }
    void SetPosition(int position);
    // Steps by `delta`, starting from the number in the box when it holds one.
    void Step(int delta);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* associate_;
    QToolButton* up_ = nullptr;
    QToolButton* down_ = nullptr;
    int min_, max_, position_;
};

class TForm : public QDialog {
    Q_OBJECT

public:
    // The picture behind the controls, shown at 16 bits per pixel and more.
    static constexpr int kWidth = 198;
    static constexpr int kHeight = 225;

    // `profile` is the settings file OK writes to; `host` shows the message when a box does
    // not hold a whole number.
    TForm(const Catalogue& catalogue, int depth, const platform::Profile& profile, DialogHost& host,
          QWidget* parent = nullptr);

    // Puts a schedule into the controls; a position of -1 leaves its list without a choice.
    void SetSchedule(const Schedule& schedule);

    QLabel* Label1 = nullptr;        // day
    QComboBox* ComboBox1 = nullptr;  // the day list
    QLabel* Label2 = nullptr;        // month
    QComboBox* ComboBox2 = nullptr;  // the month list
    QLabel* Label3 = nullptr;        // hour
    QLineEdit* Edit1 = nullptr;
    UpDown* UpDown1 = nullptr;
    QLabel* Label4 = nullptr;  // minute
    QLineEdit* Edit2 = nullptr;
    UpDown* UpDown2 = nullptr;
    QPushButton* BitBtn1 = nullptr;  // "&Annulla"
    QPushButton* BitBtn2 = nullptr;  // "&OK"

    bool HasBackground() const { return !background_.isNull(); }

public slots:
    void ComboBox1Change();
    void BitBtn2Click();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    platform::Profile profile_;
    DialogHost& host_;
    QPixmap background_;
};

// The schedule dialog, by its role.
using ScheduleDialog = TForm;

}  // namespace kv
