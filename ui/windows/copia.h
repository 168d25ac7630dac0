// The action window: copies, moves, deletes, renames or cleans every infected file that the
// report names, one after another, and writes each outcome back into the file's report line
// as a state bit. It starts its work by itself 100 ms after it is shown, lets pending events
// run once per line ("&Annulla" sets a flag that the loop reads), and closes itself at the
// end with OK, or Cancel when it was cancelled. The companion driver is asked to stand aside
// for the length of the work.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QPushButton;
class QTimer;
class QFrame;

namespace kv {

class Animations;
class Catalogue;
class ReportList;
struct ReportLine;
class StepBar;

class Tfcopia : public QDialog {
    Q_OBJECT

public:
    enum Action { Copy = 0, Move = 1, Delete = 2, Rename = 3, Clean = 4 };

    static constexpr int kWidth = 345;
    static constexpr int kHeight = 176;
    // How long the external cleaner may run.
    static constexpr int kCleanerTimeoutMs = 5000;
    // The external cleaner of program files, in the program folder.
    static constexpr const char* kCleanerProgram = "RTML.EXE";
    // Modal results.
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;

    Tfcopia(const Catalogue& catalogue, ReportList& report, Animations& animations,
            std::string program_folder, QWidget* parent = nullptr);

    // Set by the opener before the window is shown.
    int ActionToDo = Copy;
    std::string Destination;  // ends in '/'; copy and move only
    // Sends a request to the companion driver; the driver's device node by default.
    std::function<void(unsigned long request)> NotifyDriver;

    bool Cancelled() const { return cancelled_; }
    bool Finished() const { return finished_; }

    QLabel* Image1 = nullptr;  // the animation
    QLabel* Label1 = nullptr;  // the step in hand
    QFrame* Panel1 = nullptr;
    QLabel* Label2 = nullptr;  // the file in hand
    StepBar* StepBar1 = nullptr;
    QPushButton* BitBtn1 = nullptr;  // "&Annulla"
    QTimer* Timer1 = nullptr;        // starts the work, once
    QTimer* Timer2 = nullptr;        // the animation

public slots:
    void BitBtn1Click();
    void Timer1Timer();
    void Timer2Timer();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void ActOn(ReportLine& line);
    // Whether the report holds the own line of the archive that `line` is a member of.
    bool ArchiveLineInReport(const ReportLine& line) const;
    void CleanFile(ReportLine& line);
    void SetStep(int message);

    const Catalogue& catalogue_;
    ReportList& report_;
    Animations& animations_;
    std::string program_folder_;
    bool cancelled_ = false;
    bool started_ = false;
    bool finished_ = false;
};

// The action window on infected files, by its role.
using ActionWindow = Tfcopia;

}  // namespace kv
