// GCC 12 warns falsely that a moved-from std::optional<QString> may be uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "tests/ui/ui_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPrinter>
#include <QThread>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "platform/files.h"
#include "platform/profile.h"

namespace kv::test {

bool ScriptedDialogs::AskOkCancel(QWidget*, const QString& caption, const QString& text) {
    questions << caption + "|" + text;
    if (questionAnswers.empty()) return false;
    bool answer = questionAnswers.front();
    questionAnswers.pop_front();
    return answer;
}

void ScriptedDialogs::ShowMessage(QWidget*, const QString&, const QString& text) {
    messages << text;
}

void ScriptedDialogs::ShowError(QWidget*, const QString& caption, const QString& text) {
    errors << caption + "|" + text;
}

std::optional<QString> ScriptedDialogs::SaveLogFileName(QWidget*, const QString& start) {
    saveStarts << start;
    if (fileAnswers.empty()) return std::nullopt;
    std::optional<QString> answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

std::optional<QString> ScriptedDialogs::OpenFileName(QWidget*) {
    if (fileAnswers.empty()) return std::nullopt;
    std::optional<QString> answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

std::optional<QString> ScriptedDialogs::AskPath(QWidget*, const Catalogue&, int,
                                                const QString& last) {
    pathStarts << last;
    if (pathAnswers.empty()) return std::nullopt;
    std::optional<QString> answer = pathAnswers.front();
    pathAnswers.pop_front();
    return answer;
}

void ScriptedDialogs::ShowAbout(QWidget* parent, const Catalogue&, int, const std::string&) {
    ++aboutShown;
    if (auto* window = dynamic_cast<MainWindow*>(parent))
        scanRunningDuringAbout = window->ScanEngine().Options.ScanRunning;
    if (duringAbout) duringAbout();
}

bool ScriptedDialogs::EditSchedule(QWidget* parent, const Catalogue& catalogue, int depth,
                                   const Schedule& current) {
    ++schedulesShown;
    TForm dialog(catalogue, depth, platform::Profile::Settings(), *this, parent);
    dialog.SetSchedule(current);
    if (!scheduleScript) return false;
    scheduleScript(dialog);
    return dialog.result() == QDialog::Accepted;
}

std::optional<QString> ScriptedDialogs::PickFolder(QWidget*, const Catalogue&) {
    if (pickAnswers.empty()) return std::nullopt;
    std::optional<QString> answer = pickAnswers.front();
    pickAnswers.pop_front();
    return answer;
}

std::optional<QString> ScriptedDialogs::OpenLogFileName(QWidget*, const QString& start) {
    logStarts << start;
    if (fileAnswers.empty()) return std::nullopt;
    std::optional<QString> answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

std::optional<QString> ScriptedDialogs::AskDestinationFolder(QWidget* parent, const Catalogue&,
                                                             const QString& caption) {
    folderCaptions << caption;
    if (duringFolder) duringFolder(parent);
    if (folderAnswers.empty()) return std::nullopt;
    std::optional<QString> answer = folderAnswers.front();
    folderAnswers.pop_front();
    return answer;
}

bool ScriptedDialogs::ChoosePrinter(QWidget*, QPrinter& printer) {
    ++printDialogs;
    if (pdfFile.isEmpty()) return false;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdfFile);
    return true;
}

DesktopFixture::DesktopFixture() {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    had_config_ = old != nullptr;
    if (had_config_) old_config_ = old;
    ::setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1);
    // The data files the program reads, as the build made them.
    namespace fs = std::filesystem;
    for (const char* name : {"langua.ge", "Matrix.DLL", "Virus.seq", "tbl02.dir", "tbl02",
                             "tbl02.nam", "virus.lst", "40.bmp", "St2.bmp", "Kestravo.hlp"}) {
        std::error_code ec;
        fs::copy_file(ProgramDir() + name, program_.Path() + name, ec);
    }
}

DesktopFixture::~DesktopFixture() {
    if (had_config_) {
        ::setenv("XDG_CONFIG_HOME", old_config_.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

std::unique_ptr<MainWindow> DesktopFixture::MakeWindow(int depth, std::uint16_t update_port) {
    MainWindowOptions options;
    options.ProgramFolder = program_.Path();
    options.ColourDepth = depth;
    options.Dialogs = &dialogs;
    options.UpdatePort = update_port;
    options.Clock = clock;
    options.WatchBounds = watchBounds;
    return std::make_unique<MainWindow>(options);
}

void DesktopFixture::CloseWindow(std::unique_ptr<MainWindow>& window) {
    if (window == nullptr) return;
    window->close();
    window.reset();
    // Let deferred deletions of the window's helpers run.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

ReportLine* AddScannedLine(ReportList& report, const std::string& path, const std::string& detail,
                           std::uint32_t kind) {
    ReportLine* line = report.AddReportLine(path, detail, kind);
    struct stat st;
    if (line != nullptr && ::lstat(path.c_str(), &st) == 0) {
        line->File = std::make_shared<platform::ScannedFile>(
            platform::DescribeScannedFile(-1, path, st.st_dev, st.st_ino));
    }
    return line;
}

bool ShippedDatabaseAvailable() {
    return kv::platform::FileExists(ProgramDir() + "Matrix.DLL") &&
           kv::platform::FileExists(ProgramDir() + "Virus.seq");
}

std::string ReportText(MainWindow& window) {
    return window.Report().LogText();
}

QStringList ReportLines(MainWindow& window) {
    QStringList lines;
    for (std::size_t i = 0; i < window.Report().Count(); ++i)
        lines << QString::fromStdString(window.Report().LogLine(*window.Report().Line(i)));
    return lines;
}

bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeout_ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

}  // namespace kv::test
