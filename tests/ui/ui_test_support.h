// Helpers of the desktop program's tests: a program folder and a settings folder of their
// own for every test, a scripted stand-in for the modal dialogs, and the main window made
// on them.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "report/report.h"
#include "tests/support/test_support.h"
#include "ui/dialog_host.h"
#include "ui/main_window.h"
#include "ui/windows/timerwindow.h"

namespace kv::test {

// Answers the modal exchanges from queues and records them; nothing waits for a user. With
// an empty queue a question is answered Cancel and a file dialog is cancelled.
class ScriptedDialogs : public DialogHost {
public:
    bool AskOkCancel(QWidget*, const QString& caption, const QString& text) override;
    void ShowMessage(QWidget*, const QString& caption, const QString& text) override;
    void ShowError(QWidget*, const QString& caption, const QString& text) override;
    std::optional<QString> SaveLogFileName(QWidget*, const QString& start) override;
    std::optional<QString> OpenFileName(QWidget*) override;
    std::optional<QString> AskPath(QWidget*, const Catalogue&, int, const QString& last) override;
    void ShowAbout(QWidget*, const Catalogue&, int depth, const std::string&) override;
    // A real schedule dialog, filled with `current`, handed to `scheduleScript` (which sets
    // its controls and clicks a button) instead of being shown; no script cancels it.
    bool EditSchedule(QWidget*, const Catalogue&, int depth, const Schedule& current) override;
    std::optional<QString> PickFolder(QWidget*, const Catalogue&) override;
    std::optional<QString> OpenLogFileName(QWidget*, const QString& start) override;
    std::optional<QString> AskDestinationFolder(QWidget*, const Catalogue&,
                                                const QString& caption) override;
    // Prints to the PDF file `pdfFile`; an empty name cancels the print dialog.
    bool ChoosePrinter(QWidget*, QPrinter& printer) override;

    std::deque<bool> questionAnswers;
    std::deque<std::optional<QString>> fileAnswers;  // save and open dialogs
    std::deque<std::optional<QString>> pathAnswers;
    QStringList questions;  // "caption|text" of each question
    QStringList messages;   // text of each message
    QStringList errors;     // "caption|text" of each error message
    QStringList saveStarts;
    QStringList pathStarts;
    QStringList logStarts;
    std::deque<std::optional<QString>> folderAnswers;  // destination folder dialogs
    // Called while the destination folder dialog is "open", with the dialog's parent.
    std::function<void(QWidget*)> duringFolder;
    QStringList folderCaptions;
    QString pdfFile;
    int printDialogs = 0;
    int aboutShown = 0;
    // The value the engine's ScanRunning had while the about window was "open".
    int scanRunningDuringAbout = -1;
    // Called while the about window is "open".
    std::function<void()> duringAbout;
    std::function<void(TForm&)> scheduleScript;
    int schedulesShown = 0;
    std::deque<std::optional<QString>> pickAnswers;  // folder pickers of internet mode
};

// A program folder with the shipped data files of the build, and a settings folder, both
// temporary; XDG_CONFIG_HOME points at the settings folder for the life of the object.
class DesktopFixture {
public:
    DesktopFixture();
    ~DesktopFixture();

    std::string ProgramFolder() const { return program_.Path(); }
    std::string ConfigHome() const { return config_.Path(); }
    std::string SettingsFile() const { return config_.Path() + "kestravo/KESTO.INI"; }
    // A scratch folder for scan targets.
    const TempDir& Scratch() const { return scratch_; }

    // A main window on this fixture's folders.
    std::unique_ptr<MainWindow> MakeWindow(int depth = 24, std::uint16_t update_port = 21);
    // Closes the window as the user would and deletes it.
    void CloseWindow(std::unique_ptr<MainWindow>& window);

    ScriptedDialogs dialogs;
    // The clock of the windows made from now on; null: the system clock.
    std::function<QDateTime()> clock;
    // The bounds on internet mode's subfolder watches of the windows made from now on.
    platform::WatchLimits watchBounds;

private:
    TempDir program_;
    TempDir config_;
    TempDir scratch_;
    std::string old_config_;
    bool had_config_ = false;
};

// Adds a report line for the file at `path` together with what a scan records of it (its
// folder, name, device and inode), as the engine's lines carry it; the file must exist.
ReportLine* AddScannedLine(ReportList& report, const std::string& path, const std::string& detail,
                           std::uint32_t kind);

// Whether the build's program folder holds a signature database that detects the test string.
bool ShippedDatabaseAvailable();

// The report as log file text (CR LF line ends).
std::string ReportText(MainWindow& window);
// The report's lines as the log file has them.
QStringList ReportLines(MainWindow& window);

// Runs the application's event loop until `done` is true or `timeout_ms` passed.
bool WaitFor(const std::function<bool()>& done, int timeout_ms = 5000);

}  // namespace kv::test
