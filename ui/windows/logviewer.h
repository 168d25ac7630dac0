// The log viewer: a large window with a tall list of report lines. In live mode it mirrors the
// main window's report list as a scan fills it (each row drawn from the report line of the
// same index) and offers the actions on the infected files; in file mode it shows the lines
// of a saved log. Modeless; any number may be open; each one frees itself when closed.
#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>
#include <string>

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QTimer;

namespace kv {

class Animations;
class Catalogue;
class DialogHost;
class ReportList;
class Tfcopia;
class TimgLBox;

// What a log viewer is given by its opener.
struct ViewerContext {
    const Catalogue* Messages = nullptr;
    ReportList* Report = nullptr;    // the report that live mode shows and the actions change
    TimgLBox* MainList = nullptr;    // the main window's report list, which live mode follows
    Animations* Pictures = nullptr;  // lives for the program's run
    DialogHost* Dialogs = nullptr;
    std::string ProgramFolder;
    int ColourDepth = 24;
    // Runs an action so that no scan starts while it works; the action runs directly when
    // this is empty.
    std::function<void(const std::function<void()>&)> Exclusive;
    // Called with every action window before it is shown.
    std::function<void(Tfcopia&)> PrepareAction;
};

class TForm4 : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 590;
    static constexpr int kHeight = 403;
    static constexpr int kRowHeight = 19;
    static constexpr int kTickMs = 200;
    // More rows than this added at once show the hourglass.
    static constexpr int kHourglassRows = 100;

    explicit TForm4(const ViewerContext& context, QWidget* parent = nullptr);
    ~TForm4() override;

    // Live mode, enabling `item` again when the window closes.
    void FollowReport(QAction* item);
    // File mode on the saved log `path`: one row per line and a last row holding a blank.
    // False, with "Cannot open file <path>" in `error`, when the file cannot be read.
    bool LoadLogFile(const QString& path, QString& error);

    bool FileMode() const { return file_mode_; }
    // Whether the window has closed (it is deleted soon after).
    bool Closed() const { return released_; }
    int MirroredRows() const { return mirrored_; }
    // How often the hourglass was shown while rows were added.
    int HourglassShown() const { return hourglass_shown_; }

    QFrame* Panel1 = nullptr;        // the black top band
    QLabel* Image1 = nullptr;        // the globe, hint "Pianeta terra"
    QLabel* Label1 = nullptr;        // "Kestravo "
    QLabel* Label2 = nullptr;        // "Opzioni"
    QComboBox* ComboBox1 = nullptr;  // the action list
    TimgLBox* ReportBox = nullptr;
    QTimer* Timer1 = nullptr;

public slots:
    void Timer1Timer();
    // The user picked action `index` (0 copy, 1 move, 2 delete, 3 rename, 4 clean).
    void ComboBox1Change(int index);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void SetFileMode();
    void ReleaseShared();

    ViewerContext context_;
    bool file_mode_ = false;
    int mirrored_ = 0;
    int hourglass_shown_ = 0;
    bool released_ = false;
    QPointer<QAction> restore_item_;
};

// The log viewer and the widened report window, by its role.
using LogViewer = TForm4;

}  // namespace kv
