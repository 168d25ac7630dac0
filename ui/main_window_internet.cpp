// The main window's clock tick and what it drives: the clock in the status bar, the scheduled
// scan with its toggle and dialog, and internet mode, which watches the download folders and
// hands a folder that changed to the scan request.
#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include "platform/files.h"
#include "platform/profile.h"
#include "ui/dialog_host.h"
#include "ui/main_window.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"

namespace kv {

QDateTime MainWindow::Now() const {
    return options_.Clock ? options_.Clock() : QDateTime::currentDateTime();
}

void MainWindow::Timer1Timer() {
    const QDateTime now = Now();
    // 1. The clock.
    SetStatus2(now.toString("hh.mm.ss - dd/MM/yyyy"));
    // Nothing else while a scan (or the about window) runs.
    if (engine_.Options.ScanRunning != 0 || scan_in_progress_) return;

    // 2. The schedule, when armed.
    if (SpeedButton6->isChecked()) {
        ScheduleTime time;
        time.DayOfMonth = now.date().day();
        time.Weekday = now.date().dayOfWeek() % 7 + 1;  // Qt counts from Monday = 1
        time.Month = now.date().month();
        time.Hour = now.time().hour();
        time.Minute = now.time().minute();
        if (CheckSchedule(schedule_, time))
            QCoreApplication::postEvent(this, new ScanRequestEvent(-1, imgLBox2));
    }

    // 3. The download folders: at most one that changed is handed over per tick, the one of
    //    the lowest table index; the others stay signalled for the next ticks.
    //    The program's own writes (temporary files, the log) are no change.
    if (SpeedButton7->isChecked()) {
        watches_.SetOwnFiles(OwnFilesNow());
        const int signalled = watches_.Wait(0);
        ShowWatchLimitNotice();
        if (signalled >= 0) {
            watches_.Rearm(signalled);
            QCoreApplication::postEvent(
                this, new ScanRequestEvent(watches_.ListIndex(signalled), imgLBox3));
        }
    }
}

// ---- The scheduled scan ----

void MainWindow::SpeedButton6Click(QObject* sender) {
    if (sender == Attivatimer1) SpeedButton6->setChecked(!Attivatimer1->isChecked());
    if (SpeedButton6->isChecked()) {
        const Schedule current = LoadSchedule(platform::Profile::Settings());
        if (dialogs_->EditSchedule(this, catalogue_, colour_depth_, current)) {
            schedule_ = LoadSchedule(platform::Profile::Settings());
        } else {
            SpeedButton6->setChecked(false);
        }
    }
    Attivatimer1->setChecked(SpeedButton6->isChecked());
}

// ---- Internet mode ----

bool MainWindow::AddDownloadFolder(const QString& entry) {
    for (int i = 0; i < imgLBox3->count(); ++i) {
        if (imgLBox3->item(i)->text().compare(entry, Qt::CaseInsensitive) == 0) return false;
    }
    imgLBox3->addItem(entry);
    return true;
}

void MainWindow::SpeedButton7Click(QObject* sender) {
    if (sender == ModalitInternet1) SpeedButton7->setChecked(!ModalitInternet1->isChecked());
    ModalitInternet1->setChecked(SpeedButton7->isChecked());
    if (SpeedButton7->isChecked()) {
        SwitchInternetOn();
    } else {
        CloseWatches();
    }
}

void MainWindow::SwitchInternetOn() {
    Timer1->stop();
    // A table that is still open is rebuilt, never added to.
    watches_.Clear();
    watches_.SetLimits(options_.WatchBounds);
    watches_.SetOwnFiles(OwnFilesNow());
    const platform::Profile profile = platform::Profile::Settings();
    const int last = qMin(imgLBox3->count(), platform::WatchTable::kMaxWatches);
    for (int j = 0; j < last; ++j) {
        std::string path = imgLBox3->item(j)->text().toStdString();
        if (!path.empty() && path.back() == '/') path.pop_back();
        // The root of a mounted file system is watched whole only when the settings ask for
        // it; any other folder with everything below it.
        bool subtree = true;
        if (path.empty() || platform::IsMountRoot(path)) {
            path += '/';
            subtree = profile.ReadBool("Internet", "SUB", false);
        }
        watches_.Add(path, subtree, j);
    }
    ShowWatchLimitNotice();
    // The timer stays off while a scan runs (the switch can be used during one); the scan
    // starts it again at its end.
    if (!scan_in_progress_) Timer1->start();
}

platform::OwnFiles MainWindow::OwnFilesNow() const {
    return platform::OwnFiles{temp_folder_, platform::kTempFilePrefix, LogFileName()};
}

void MainWindow::ShowWatchLimitNotice() {
    // In the wide status panel, where it stays until the next hint or scan; the clock panel
    // would overwrite it at the next tick.
    if (watches_.TakeLimitNotice()) status1->setText(QString::fromStdString(catalogue_.Text(281)));
}

void MainWindow::CloseWatches() {
    Timer1->stop();
    watches_.Clear();
    if (!scan_in_progress_) Timer1->start();
}

void MainWindow::BitBtn1Click() {
    std::optional<QString> folder = dialogs_->PickFolder(this, catalogue_);
    if (folder && !folder->isEmpty()) AddDownloadFolder(*folder);
    // The watches follow the list.
    if (SpeedButton7->isChecked()) {
        watches_.Clear();
        SwitchInternetOn();
    }
}

void MainWindow::BitBtn2Click() {
    const bool on = SpeedButton7->isChecked();
    if (on) watches_.Clear();
    for (int i = imgLBox3->count() - 1; i >= 0; --i) {
        if (imgLBox3->item(i)->isSelected()) delete imgLBox3->takeItem(i);
    }
    if (on) SwitchInternetOn();
}

}  // namespace kv
