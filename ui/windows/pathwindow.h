// The path dialog: one line to type a folder path into, for the folder tree of the main
// window. Enter or OK accept it, Annulla cancels, Esc does nothing.
#pragma once

#include <QDialog>
#include <QPixmap>

class QLabel;
class QLineEdit;
class QPushButton;

namespace kv {

class Catalogue;

class TForm3 : public QDialog {
    Q_OBJECT

public:
    static constexpr int kWidth = 318;
    static constexpr int kHeight = 104;

    // At 16 bits per pixel and more the dialog has the page picture as its background.
    TForm3(const Catalogue& catalogue, int depth, QWidget* parent = nullptr);

    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* BitBtn1 = nullptr;  // "&Annulla"
    QPushButton* BitBtn2 = nullptr;  // "&OK"

    bool HasBackground() const { return !background_.isNull(); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap background_;
};

// The path dialog, by its role.
using PathDialog = TForm3;

}  // namespace kv
