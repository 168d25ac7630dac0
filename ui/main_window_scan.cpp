// The two ways a scan runs: the scan command of the user and the scan request event (1136)
// that the timer posts. Both write the banner, a heading, the engine's lines and a summary
// per resource, and a totals block when several resources were scanned.
#include <QAction>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>

#include <ctime>

#include "engine/report_blocks.h"
#include "platform/files.h"
#include "ui/dialog_host.h"
#include "ui/main_window.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"

namespace kv {

namespace {

// The status line's date and time after a scan, by the catalogue's strftime(3) pattern.
QString FormatNow(const std::string& pattern) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[256];
    const std::string& format = pattern.empty() ? std::string("%d/%m/%Y %H:%M:%S") : pattern;
    std::size_t n = std::strftime(buffer, sizeof buffer, format.c_str(), &local);
    return QString::fromUtf8(buffer, static_cast<int>(n));
}

}  // namespace

void MainWindow::imgLBox2DblClick() {
    SpeedButton1Click(imgLBox2);
}

void MainWindow::ClearReport() {
    Memo1->clear();
    report_.ClearReportLines();
    report_.Reserve(4000);
}

std::string MainWindow::ResourceTarget(const std::string& entry, bool from_request) const {
    if (entry.empty() || entry.back() == '/') return entry;
    if (platform::IsFolder(entry)) return entry + "/";
    // A file stays a file. A request names folders: an entry that is missing altogether is
    // taken as the folder it would be, which the walk finds empty.
    if (from_request && !platform::FileExists(entry)) return entry + "/";
    return entry;
}

void MainWindow::ScanOneResource(const std::string& heading, const std::string& target) {
    WriteResourceHeading(report_, catalogue_, heading);
    // The engine puts the exit caption back after every resource; while more follow, the
    // button still stops the scan and says so.
    SpeedButton2->setText("Stop");
    const int loaded = engine_.ScanResource(program_folder_, target);
    if (loaded != 0) {
        // The signature database could not be loaded: nothing was scanned, and the report
        // says so instead of showing a clean result.
        report_.AddReportLine(catalogue_.Text(279) + " " + std::to_string(loaded), "", 1);
    }
    WriteResourceSummary(report_, catalogue_, pictures_.BlockPictures(), engine_.Counters);
    totals_.Add(engine_.Counters);
    RenewTrayTip();
}

void MainWindow::SpeedButton1Click(QObject* sender) {
    // 1. Never a second scan.
    if (engine_.Options.ScanRunning != 0 || scan_in_progress_) return;
    scan_in_progress_ = true;
    const bool single_entry = sender == imgLBox2;

    // 2. Buttons and menu items of a running scan.
    ConnectBTN->setEnabled(false);
    SpeedButton2->setText("Stop");
    StopScansione1->setEnabled(true);

    // 3. The scan options.
    engine_.Options.ScanArchives = ControllaZipFiles1->isChecked() ? 1 : 0;
    engine_.Options.ScanSubfolders = Controllasottocartelle1->isChecked() ? 1 : 0;
    engine_.Options.SetDefaultExtensions();
    engine_.Options.StopRequested = 0;

    // 4. No timer work during the scan; fresh totals.
    Timer1->stop();
    totals_.Clear();
    RenewTrayTip();

    // 5. The report page, emptied.
    SelectPage(1);
    ClearReport();

    // 6., 7. The banner with the clock the status panel showed.
    WriteBanner(report_, catalogue_, pictures_.BlockPictures(), Status2->text().toStdString(),
                false);
    SetStatus2(QString());

    // 8., 9. Every entry, or the one that was double-clicked.
    const int count = imgLBox2->count();
    if (count == 0) {
        report_.AddReportLine("", "", kind::Plain);
        report_.AddReportLine("Nessuna risorsa selezionata!", "", kind::Plain);
    } else {
        for (int i = 0; i < count && engine_.Options.StopRequested == 0; ++i) {
            if (single_entry) i = imgLBox2->currentRow();
            if (i < 0 || i >= count) break;
            const std::string entry = imgLBox2->item(i)->text().toStdString();
            if (single_entry) i = count;
            ScanOneResource(entry, ResourceTarget(entry, false));
        }
    }

    // 10. Totals when the list holds several entries.
    if (count > 1) WriteTotalsBlock(report_, catalogue_, totals_);

    // 11. The log file.
    if (SalvaReport1->isChecked()) {
        const std::string log = LogFileName();
        if (report_.SaveReport(log) != 0) ShowWriteFailure(log);
    }

    // 12. The question after infections.
    if (totals_[ScanCounters::VirusesFound] > 0) AskAboutInfections(false);

    // 13. The time the scan ended.
    SetStatus2(FormatNow(catalogue_.Text(212)));

    // 14. Back to idle.
    EndScan(true);
}

void MainWindow::ScanRequest(int wparam, QListWidget* list) {
    scan_in_progress_ = true;
    // 1., 2. The timer first, then the buttons of a running scan.
    Timer1->stop();
    SpeedButton2->setText("Stop");
    StopScansione1->setEnabled(true);
    engine_.Options.ScanArchives = ControllaZipFiles1->isChecked() ? 1 : 0;

    // 4. Totals and options; a request always looks into subfolders.
    totals_.Clear();
    RenewTrayTip();
    engine_.Options.ScanSubfolders = 1;
    engine_.Options.SetDefaultExtensions();
    engine_.Options.StopRequested = 0;

    // 5. The report grows over five requests; from the sixth on each one starts afresh,
    //    after the old report has gone to the log.
    SelectPage(1);
    ++scan_request_count_;
    if (scan_request_count_ > 5) {
        if (SalvaReport1->isChecked()) {
            const std::string log = LogFileName();
            if (report_.AppendReport(log) != 0) ShowWriteFailure(log);
        }
        SelectPage(1);
        ClearReport();
    }

    // 6. The banner of a request.
    WriteBanner(report_, catalogue_, pictures_.BlockPictures(), Status2->text().toStdString(),
                true);
    SetStatus2(QString());

    // 7., 8. The entries of the range; totals for three entries and more.
    const int count = list != nullptr ? list->count() : 0;
    if (count == 0) {
        report_.AddReportLine("", "", kind::Plain);
        report_.AddReportLine(catalogue_.Text(211), "", kind::Plain);
    } else {
        const int first = wparam < 0 ? 0 : wparam;
        const int last = wparam < 0 ? count - 1 : wparam;
        // The list is read afresh at every step: entries may be removed while a scan runs.
        for (int i = first; i <= last && i < list->count() && engine_.Options.StopRequested == 0;
             ++i) {
            const std::string target = ResourceTarget(list->item(i)->text().toStdString(), true);
            ScanOneResource(target, target);
        }
        if (last - first > 1) WriteTotalsBlock(report_, catalogue_, totals_);
    }

    // 9. The question after infections.
    if (totals_[ScanCounters::VirusesFound] > 0) AskAboutInfections(true);

    // 10. Back to idle; a request writes no log and leaves the status panel empty.
    EndScan(false);
}

void MainWindow::AskAboutInfections(bool from_request) {
    if (isMinimized()) showNormal();
    const bool ok = dialogs_->AskOkCancel(this, QString::fromStdString(catalogue_.Text(198)),
                                          QString::fromStdString(catalogue_.Text(223)));
    if (!ok) return;
    if (from_request) MostraKestravo1Click();
    // The widened report window: opened when there is none, else brought to the front.
    if (TForm4* widened = WidenedWindow()) {
        widened->show();
        widened->raise();
        widened->activateWindow();
    } else {
        Allargafinestra1Click();
    }
}

void MainWindow::EndScan(bool from_command) {
    Timer1->start();
    StopScansione1->setEnabled(false);
    if (from_command && update_run_ == nullptr) ConnectBTN->setEnabled(true);
    SpeedButton2->setText(QString::fromStdString(catalogue_.Text(138)));
    scan_in_progress_ = false;
    RenewTrayTip();
    RunPendingRequests();
}

}  // namespace kv
