// The Update page: the Connect button runs the online update to its end, keeping the window
// alive meanwhile; the Close button ends the transfer in progress.
#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "platform/profile.h"
#include "ui/dialog_host.h"
#include "ui/main_window.h"
#include "ui/widgets.h"
#include "ui/windows/stepbar.h"

namespace kv {

void MainWindow::ConnectBTNClick() {
    // The button is disabled during a run; a click that slipped through starts no second one.
    if (update_run_ != nullptr) return;
    update::UpdateServer server;
    server.Port = options_.UpdatePort;
    // Whether unsigned packages may be installed is the machine owner's choice, made in the
    // settings file; it is read at each run.
    update::UpdateRun run(ftp_client_, *this, program_folder_, server,
                          update::UpdatePolicy::FromSettings(platform::Profile::Settings()));
    update_run_ = &run;
    run.Run();
    update_run_ = nullptr;
    if (close_after_update_) {
        close_after_update_ = false;
        close();
        return;
    }
    // Scan requests that came during the run (the clock tick, internet mode) run now.
    if (!scan_in_progress_ && engine_.Options.ScanRunning == 0) RunPendingRequests();
}

void MainWindow::ClosebtnClick() {
    if (update_run_ != nullptr) update_run_->Abort();
}

void MainWindow::SetSizeText(const std::string& text) {
    ftpsizelabel->setText(QString::fromStdString(text));
    ftpsizelabel->adjustSize();
}

void MainWindow::SetConnectionText(const std::string& text) {
    ftpConnection->setText(QString::fromStdString(text));
    ftpConnection->adjustSize();
}

void MainWindow::SetButtons(bool connect_enabled, bool close_enabled) {
    ConnectBTN->setEnabled(connect_enabled);
    Closebtn->setEnabled(close_enabled);
}

void MainWindow::ClearTranscript() {
    memo6->clear();
}

void MainWindow::AppendLine(const std::string& line) {
    memo6->appendPlainText(QString::fromStdString(line));
}

void MainWindow::SetTranscript(const std::string& text) {
    QString shown = QString::fromStdString(text);
    shown.replace("\r\n", "\n");
    memo6->setPlainText(shown);
}

void MainWindow::ShowTranscript() {
    Shape6->show();
    memo6->show();
}

void MainWindow::SetProgressMax(int max) {
    progressbar1->setMax(max);
}

void MainWindow::SetProgress(int position) {
    progressbar1->setProgress(position);
}

void MainWindow::ShowPackageError() {
    dialogs_->ShowError(this, "Setup error", "Package file error");
}

void MainWindow::ShowExtractProgress(std::uint64_t done, std::uint64_t total) {
    std::uint64_t percent = total > 0 ? done * 100 / total : 0;
    if (percent > 100) percent = 100;
    Status2->SetGauge(static_cast<int>(percent));
}

void MainWindow::Pump() {
    QCoreApplication::processEvents();
}

}  // namespace kv
