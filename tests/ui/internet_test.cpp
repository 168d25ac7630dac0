// The clock tick and what it drives: the scheduled scan (its rule, its dialog and toggle) and
// internet mode (the download folders, their watches and the folder that is handed to the
// scan request). The clock is the test's own, so no test waits for a real minute.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform/change_watch.h"
#include "platform/profile.h"
#include "tests/ui/ui_test_main.h"
#include "tests/ui/ui_test_support.h"
#include "ui/schedule.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"
#include "ui/windows/folderlist.h"
#include "ui/windows/timerwindow.h"

using kv::test::DesktopFixture;
using kv::test::MakeFolders;
using kv::test::RunCommand;
using kv::test::WriteFile;

namespace {

// Keeps the scan requests posted to the window instead of letting them scan.
class RequestCatcher : public QObject {
public:
    explicit RequestCatcher(QObject* window) { window->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != kv::kScanRequestEvent) return false;
        auto* request = static_cast<kv::ScanRequestEvent*>(event);
        requests.emplace_back(request->WParam, request->LParam.data());
        return true;
    }
    // Runs one tick and returns the requests it posted.
    std::vector<std::pair<int, QListWidget*>> Tick(kv::MainWindow& window) {
        requests.clear();
        window.Timer1Timer();
        QCoreApplication::sendPostedEvents(&window, kv::kScanRequestEvent);
        return std::exchange(requests, {});
    }
    std::vector<std::pair<int, QListWidget*>> requests;
};

// Counts the scan requests posted to the window and lets them scan.
class RequestCounter : public QObject {
public:
    explicit RequestCounter(QObject* window) { window->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == kv::kScanRequestEvent) ++count;
        return false;
    }
    // Runs one tick with the requests it posted; returns how many there were.
    int Tick(kv::MainWindow& window) {
        count = 0;
        window.Timer1Timer();
        QCoreApplication::sendPostedEvents(&window, kv::kScanRequestEvent);
        return std::exchange(count, 0);
    }
    int count = 0;
};

// Sets TMPDIR for the windows made while it lives.
class TempFolderSetting {
public:
    explicit TempFolderSetting(const std::string& folder) {
        if (const char* old = std::getenv("TMPDIR")) old_ = old;
        ::setenv("TMPDIR", folder.c_str(), 1);
    }
    ~TempFolderSetting() {
        if (old_)
            ::setenv("TMPDIR", old_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

private:
    std::optional<std::string> old_;
};

kv::ScheduleTime At(int day, int weekday, int month, int hour, int minute) {
    kv::ScheduleTime time;
    time.DayOfMonth = day;
    time.Weekday = weekday;
    time.Month = month;
    time.Hour = hour;
    time.Minute = minute;
    return time;
}

}  // namespace

class InternetTest : public QObject {
    Q_OBJECT

private slots:
    void scheduleRules();
    void scheduleDialogWritesWhatTheLoaderReads();
    void scheduleToggleAndTheTick();
    void folderPicker();
    void downloadFoldersAreWatchedAndHandedOver();
    void internetModeResumesWhenShownAndDrainsForTheEngine();
    void ownWritesNeverRescan();
    void boundedWatchesShowTheStatusLineOnce();
};

void InternetTest::scheduleRules() {
    // Every day of every month at 10.30: one scan at the first tick of 10.30, none for the
    // rest of that minute, another the next day.
    kv::Schedule daily;
    daily.Day = 38;
    daily.Month = 12;
    daily.Hour = 10;
    daily.Min = 30;
    QVERIFY(!kv::CheckSchedule(daily, At(14, 3, 5, 10, 29)));
    QVERIFY(kv::CheckSchedule(daily, At(14, 3, 5, 10, 30)));
    QVERIFY(!kv::CheckSchedule(daily, At(14, 3, 5, 10, 30)));
    QVERIFY(!kv::CheckSchedule(daily, At(14, 3, 5, 10, 31)));
    QVERIFY(!kv::CheckSchedule(daily, At(14, 3, 5, 22, 30)));
    QVERIFY(kv::CheckSchedule(daily, At(15, 4, 5, 10, 30)));

    // Day 31 with every month: Sundays only (weekday 1), whatever the day of the month.
    kv::Schedule sunday{31, 12, 9, 0, false};
    QVERIFY(kv::CheckSchedule(sunday, At(3, 1, 7, 9, 0)));
    QVERIFY(!kv::CheckSchedule(sunday, At(4, 2, 7, 9, 0)));
    QVERIFY(!kv::CheckSchedule(sunday, At(31, 7, 7, 9, 0)));
    // Day 0 with every month: the first of each month; Day 30 (the 31st) in a month of 30.
    kv::Schedule first{0, 12, 9, 0, false};
    QVERIFY(kv::CheckSchedule(first, At(1, 5, 2, 9, 0)));
    QVERIFY(!kv::CheckSchedule(first, At(2, 6, 2, 9, 0)));
    kv::Schedule thirty_first{30, 12, 9, 0, false};
    for (int day = 1; day <= 30; ++day)
        QVERIFY(!kv::CheckSchedule(thirty_first, At(day, day % 7 + 1, 4, 9, 0)));
    // A month of its own: March is 2.
    kv::Schedule march{38, 2, 9, 0, false};
    QVERIFY(!kv::CheckSchedule(march, At(1, 1, 4, 9, 0)));
    QVERIFY(kv::CheckSchedule(march, At(1, 1, 3, 9, 0)));

    // Hour 0 is the first hour after midnight; the defaults never match.
    kv::Schedule midnight{38, 12, 0, 5, false};
    QVERIFY(kv::CheckSchedule(midnight, At(10, 3, 6, 0, 5)));
    kv::Schedule unset;
    for (int hour = 0; hour < 24; ++hour) {
        for (int minute : {0, 1, 30})
            QVERIFY(!kv::CheckSchedule(unset, At(10, 3, 6, hour, minute)));
    }
}

void InternetTest::scheduleDialogWritesWhatTheLoaderReads() {
    DesktopFixture fixture;
    kv::Catalogue catalogue(fixture.ProgramFolder(), 1);
    const kv::platform::Profile profile = kv::platform::Profile::Settings();
    // Nothing stored: the schedule that never matches.
    kv::Schedule stored = kv::LoadSchedule(profile);
    QCOMPARE(std::vector<int>({stored.Day, stored.Month, stored.Hour, stored.Min}),
             std::vector<int>({-1, -1, 1, 1}));

    kv::TForm dialog(catalogue, 24, profile, fixture.dialogs);
    QVERIFY(dialog.HasBackground());
    QCOMPARE(dialog.windowTitle(), QString("Controllo automatico"));
    QCOMPARE(dialog.Label3->text(), QString::fromStdString(catalogue.Text(170)));
    QCOMPARE(dialog.BitBtn2->text(), QString("&OK"));
    QCOMPARE(dialog.ComboBox1->count(), 39);
    QCOMPARE(dialog.ComboBox1->itemText(30), QString("31"));
    QCOMPARE(dialog.ComboBox1->itemText(31), QString("Domenica"));
    QCOMPARE(dialog.ComboBox1->itemText(38), QString("Ogni Giorno"));
    QCOMPARE(dialog.ComboBox2->count(), 13);
    QCOMPARE(dialog.ComboBox2->itemText(0), QString("Gennaio"));
    QCOMPARE(dialog.ComboBox2->itemText(12), QString("Ogni Mese"));
    dialog.SetSchedule(stored);
    QCOMPARE(dialog.ComboBox1->currentIndex(), -1);
    QCOMPARE(dialog.ComboBox2->currentIndex(), -1);
    QVERIFY(!kv::TForm(catalogue, 8, profile, fixture.dialogs).HasBackground());

    // Every day with no month chosen picks every month; with a month chosen it stays.
    dialog.ComboBox1->setCurrentIndex(38);
    dialog.ComboBox1Change();
    QCOMPARE(dialog.ComboBox2->currentIndex(), 12);
    dialog.ComboBox2->setCurrentIndex(4);
    dialog.ComboBox1Change();
    QCOMPARE(dialog.ComboBox2->currentIndex(), 4);

    // The up-down controls offer the clock's hours and minutes and wrap: 23 up is 0, 0 down is 59.
    dialog.Edit1->setText("23");
    dialog.UpDown1->Step(1);
    QCOMPARE(dialog.Edit1->text(), QString("0"));
    dialog.Edit2->setText("0");
    dialog.UpDown2->Step(-1);
    QCOMPARE(dialog.Edit2->text(), QString("59"));
    QTest::keyClick(dialog.Edit2, Qt::Key_Up);
    QCOMPARE(dialog.Edit2->text(), QString("0"));

    // A box without a whole number: the message, Day and Month already written, still open.
    dialog.Edit1->setText("7x");
    dialog.Edit2->setText("45");
    dialog.show();
    dialog.BitBtn2->click();
    QCOMPARE(fixture.dialogs.messages, QStringList{"'7x' is not a valid integer value"});
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    stored = kv::LoadSchedule(profile);
    QCOMPARE(std::vector<int>({stored.Day, stored.Month, stored.Hour, stored.Min}),
             std::vector<int>({38, 4, 1, 1}));

    // An hour the clock never shows is refused.
    dialog.Edit1->setText("24");
    dialog.BitBtn2->click();
    QCOMPARE(fixture.dialogs.messages.size(), 2);
    QVERIFY(dialog.isVisible());

    // OK: the keys as written are read back through the loader's spelling.
    dialog.Edit1->setText("7");
    dialog.BitBtn2->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    stored = kv::LoadSchedule(profile);
    QCOMPARE(std::vector<int>({stored.Day, stored.Month, stored.Hour, stored.Min}),
             std::vector<int>({38, 4, 7, 45}));
    QCOMPARE(profile.ReadString("Timer", "Hour", ""), std::string("7"));
    // The loader reads "0x" values as hexadecimal and anything else unreadable as the default.
    QVERIFY(profile.WriteString("timer", "MIN", "0x1E"));
    QVERIFY(profile.WriteString("timer", "hour", "soon"));
    stored = kv::LoadSchedule(profile);
    QCOMPARE(stored.Min, 30);
    QCOMPARE(stored.Hour, 1);
    // A stored 24 is midnight; values out of range are refused when read.
    QVERIFY(profile.WriteString("timer", "hour", "24"));
    QVERIFY(profile.WriteString("timer", "min", "60"));
    QVERIFY(profile.WriteString("timer", "day", "39"));
    QVERIFY(profile.WriteString("timer", "month", "-2"));
    stored = kv::LoadSchedule(profile);
    QCOMPARE(std::vector<int>({stored.Day, stored.Month, stored.Hour, stored.Min}),
             std::vector<int>({-1, -1, 0, 1}));
}

void InternetTest::scheduleToggleAndTheTick() {
    DesktopFixture fixture;
    QDateTime now(QDate(2026, 3, 4), QTime(10, 29, 50));
    fixture.clock = [&now] { return now; };
    auto window = fixture.MakeWindow();
    RequestCatcher catcher(window.get());
    QVERIFY(window->SpeedButton6->isEnabled() && window->Attivatimer1->isEnabled());

    // Cancel leaves the toggle and the check mark off.
    window->SpeedButton6->click();
    QCOMPARE(fixture.dialogs.schedulesShown, 1);
    QVERIFY(!window->SpeedButton6->isChecked());
    QVERIFY(!window->Attivatimer1->isChecked());

    // From the menu item, OK arms the schedule with the dialog's values.
    fixture.dialogs.scheduleScript = [](kv::TForm& dialog) {
        dialog.ComboBox1->setCurrentIndex(38);
        dialog.ComboBox1Change();
        dialog.Edit1->setText("10");
        dialog.Edit2->setText("30");
        dialog.BitBtn2->click();
    };
    window->Attivatimer1->trigger();
    QCOMPARE(fixture.dialogs.schedulesShown, 2);
    QVERIFY(window->SpeedButton6->isChecked());
    QVERIFY(window->Attivatimer1->isChecked());
    QCOMPARE(window->LiveSchedule().Day, 38);
    QCOMPARE(window->LiveSchedule().Month, 12);

    // The tick: the clock, then one request for the whole Resource list at 10.30.
    QVERIFY(catcher.Tick(*window).empty());
    QCOMPARE(window->Status2->text(), QString("10.29.50 - 04/03/2026"));
    now = now.addSecs(10);
    auto requests = catcher.Tick(*window);
    QCOMPARE(requests.size(), std::size_t(1));
    QCOMPARE(requests[0].first, -1);
    QCOMPARE(requests[0].second, static_cast<QListWidget*>(window->imgLBox2));
    now = now.addSecs(45);
    QVERIFY(catcher.Tick(*window).empty());
    now = now.addSecs(60);
    QVERIFY(catcher.Tick(*window).empty());
    // Nothing while a scan runs; the next day at 10.30 again.
    now = QDateTime(QDate(2026, 3, 5), QTime(10, 30, 1));
    window->ScanEngine().Options.ScanRunning = 1;
    QVERIFY(catcher.Tick(*window).empty());
    window->ScanEngine().Options.ScanRunning = 0;
    QCOMPARE(catcher.Tick(*window).size(), std::size_t(1));

    // The menu item puts the toggle up without a dialog; the schedule is then ignored.
    window->Attivatimer1->trigger();
    QCOMPARE(fixture.dialogs.schedulesShown, 2);
    QVERIFY(!window->SpeedButton6->isChecked());
    QVERIFY(!window->Attivatimer1->isChecked());
    now = QDateTime(QDate(2026, 3, 6), QTime(10, 30, 1));
    QVERIFY(catcher.Tick(*window).empty());
    fixture.CloseWindow(window);
    QCOMPARE(kv::platform::Profile(fixture.SettingsFile()).ReadString("Timer", "Active", ""),
             std::string("0"));
}

void InternetTest::folderPicker() {
    DesktopFixture fixture;
    kv::Catalogue catalogue(fixture.ProgramFolder(), 1);
    MakeFolders(fixture.Scratch() / "picked/inner");
    {
        kv::TFolderList picker(catalogue);
        QCOMPARE(picker.size(), QSize(262, 255));
        QCOMPARE(picker.Label1->text(), QString("Directory corrente "));
        QCOMPARE(picker.BitBtn1->text(), QString("&Annulla"));
        QCOMPARE(picker.DriveComboBox1->itemText(0), QString("/"));
        QVERIFY(picker.DirectoryListBox1->SetDirectory(
            QString::fromStdString(fixture.Scratch() / "picked/inner")));
        // The full path, even when the label has to shorten it.
        QCOMPARE(picker.Folder(), QString::fromStdString(fixture.Scratch() / "picked/inner"));
        QVERIFY(!picker.Label2->text().isEmpty());
        QTimer::singleShot(0, &picker, [&picker] { picker.BitBtn2->click(); });
        QCOMPARE(picker.exec(), int(QDialog::Accepted));
    }
    {
        // Esc cancels with the focus in the folder tree.
        kv::TFolderList picker(catalogue);
        QTimer::singleShot(0, &picker, [&picker] {
            picker.DirectoryListBox1->setFocus();
            QTest::keyClick(picker.DirectoryListBox1, Qt::Key_Escape);
        });
        QCOMPARE(picker.exec(), int(QDialog::Rejected));
    }
}

void InternetTest::downloadFoldersAreWatchedAndHandedOver() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    RequestCatcher catcher(window.get());
    const auto& scratch = fixture.Scratch();
    // Twelve entries: the second missing, some with a trailing '/', the twelfth never watched.
    for (int i = 0; i < 12; ++i) {
        const std::string folder = scratch / ("d" + std::to_string(i));
        if (i != 1) MakeFolders(folder);
        window->imgLBox3->addItem(QString::fromStdString(i % 2 == 0 ? folder : folder + "/"));
    }
    window->ModalitInternet1->trigger();
    QVERIFY(window->SpeedButton7->isChecked());
    QVERIFY(window->ModalitInternet1->isChecked());
    const kv::platform::WatchTable& watches = window->DownloadWatches();
    QCOMPARE(watches.Count(), 10);
    QCOMPARE(watches.ListIndex(1), 2);
    QCOMPARE(watches.ListIndex(9), 10);
    QVERIFY(window->Timer1->isActive());

    // The twelfth folder is not seen; two folders changed in one tick are handed over in two
    // ticks, the lower index first, with the Download-folder list.
    WriteFile(scratch / "d11/x.exe", "MZ");
    QVERIFY(catcher.Tick(*window).empty());
    WriteFile(scratch / "d7/deeper/x.exe", "MZ");  // a new subfolder with a file in it
    WriteFile(scratch / "d4/x.exe", "MZ");
    auto first = catcher.Tick(*window);
    auto second = catcher.Tick(*window);
    QCOMPARE(first.size(), std::size_t(1));
    QCOMPARE(second.size(), std::size_t(1));
    QCOMPARE(first[0].first, 4);
    QCOMPARE(first[0].second, static_cast<QListWidget*>(window->imgLBox3));
    QCOMPARE(second[0].first, 7);
    QVERIFY(catcher.Tick(*window).empty());
    // Nothing is handed over while a scan runs; the change waits for the next tick.
    WriteFile(scratch / "d0/y.exe", "MZ");
    window->ScanEngine().Options.ScanRunning = 1;
    QVERIFY(catcher.Tick(*window).empty());
    window->ScanEngine().Options.ScanRunning = 0;
    QCOMPARE(catcher.Tick(*window).at(0).first, 0);

    // Removing entries rebuilds the table from the list as it is now.
    window->imgLBox3->clearSelection();
    for (int i = 0; i < 10; ++i) window->imgLBox3->item(i)->setSelected(true);
    window->BitBtn2->click();
    QCOMPARE(window->imgLBox3->count(), 2);
    QCOMPARE(watches.Count(), 2);
    QCOMPARE(watches.ListIndex(1), 1);
    WriteFile(scratch / "d11/z.exe", "MZ");
    QCOMPARE(catcher.Tick(*window).at(0).first, 1);

    // Adding through the folder picker: a folder equal but for letter case is not added again;
    // the root is watched on its own unless the settings ask for the whole file system.
    fixture.dialogs.pickAnswers = {QString::fromStdString(scratch / "D10"), QString("/"),
                                   std::nullopt};
    window->BitBtn1->click();
    QCOMPARE(window->imgLBox3->count(), 2);
    window->BitBtn1->click();
    QCOMPARE(window->imgLBox3->count(), 3);
    QCOMPARE(watches.Count(), 3);
    QCOMPARE(watches.Watch(2).FolderCount(), std::size_t(1));
    window->BitBtn1->click();  // cancelled: the table is rebuilt all the same
    QCOMPARE(watches.Count(), 3);

    // Switching off closes every watch; the button and the menu item agree.
    window->SpeedButton7->click();
    QVERIFY(!window->ModalitInternet1->isChecked());
    QCOMPARE(watches.Count(), 0);
    WriteFile(scratch / "d10/w.exe", "MZ");
    QVERIFY(catcher.Tick(*window).empty());
    fixture.CloseWindow(window);
    QCOMPARE(kv::platform::Profile(fixture.SettingsFile()).ReadString("Internet", "Active", ""),
             std::string("0"));
}

void InternetTest::internetModeResumesWhenShownAndDrainsForTheEngine() {
    DesktopFixture fixture;
    const std::string folder = fixture.Scratch() / "downloads";
    MakeFolders(folder);
    WriteFile(fixture.ProgramFolder() + "auto.cfg", folder + "\r\n");
    kv::platform::Profile profile = kv::platform::Profile::Settings();
    QVERIFY(profile.WriteBool("Internet", "Active", true));
    auto window = fixture.MakeWindow();
    RequestCatcher catcher(window.get());
    QVERIFY(window->SpeedButton7->isChecked());
    QVERIFY(!window->ModalitInternet1->isChecked());
    QCOMPARE(window->DownloadWatches().Count(), 0);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->DownloadWatches().Count(), 1);
    QVERIFY(window->ModalitInternet1->isChecked());

    // What the engine drains after a boot-area scan is this table.
    QVERIFY(window->ScanEngine().Watches != nullptr);
    WriteFile(folder + "/boot.tmp", "x");
    window->ScanEngine().Watches->Drain(50);
    QVERIFY(catcher.Tick(*window).empty());
    WriteFile(folder + "/later.exe", "MZ");
    QCOMPARE(catcher.Tick(*window).size(), std::size_t(1));
    fixture.CloseWindow(window);
}

void InternetTest::ownWritesNeverRescan() {
    // The log and the temporary folder lie inside the download folder: what the scans write
    // there never hands the folder over again.
    DesktopFixture fixture;
    const std::string folder = fixture.Scratch() / "downloads";
    const std::string make = fixture.Scratch() / "make";
    MakeFolders(folder + "/tmp");
    MakeFolders(make);
    // A nested archive: its inner archive is scanned from a temporary file.
    WriteFile(make + "/a.exe", "MZ");
    QCOMPARE(RunCommand({"/usr/bin/zip", "-q", "inner.zip", "a.exe"}, make).exit_code, 0);
    QCOMPARE(RunCommand({"/usr/bin/zip", "-q", "outer.zip", "inner.zip"}, make).exit_code, 0);
    std::filesystem::rename(make + "/outer.zip", folder + "/pack.zip");
    QVERIFY(
        kv::platform::Profile::Settings().WriteString("Logfile", "Active", folder + "/report.log"));
    TempFolderSetting temp(folder + "/tmp");
    auto window = fixture.MakeWindow();
    RequestCounter counter(window.get());
    window->ControllaZipFiles1->setChecked(true);
    QVERIFY(window->SalvaReport1->isChecked());
    window->imgLBox2->addItem(QString::fromStdString(folder));
    window->imgLBox3->addItem(QString::fromStdString(folder));
    window->ModalitInternet1->trigger();
    QCOMPARE(window->DownloadWatches().Count(), 1);
    // A watch of its own shows that the scans do write into the temporary folder.
    kv::platform::ChangeWatch temp_writes;
    QVERIFY(temp_writes.Open(folder + "/tmp", false));

    // Seven downloads, seven scans: from the sixth request on each one also appends the report
    // to the log. After each scan the folder stays quiet.
    for (int i = 0; i < 7; ++i) {
        WriteFile(folder + "/new" + std::to_string(i) + ".exe", "MZ");
        QCOMPARE(counter.Tick(*window), 1);
        QVERIFY(!window->ScanInProgress());
        for (int tick = 0; tick < 3; ++tick) QCOMPARE(counter.Tick(*window), 0);
    }
    QVERIFY(temp_writes.Signalled());
    QVERIFY(std::filesystem::exists(folder + "/report.log"));
    // The scan command saves the log too.
    const auto logged = std::filesystem::file_size(folder + "/report.log");
    window->SpeedButton1Click();
    QVERIFY(std::filesystem::file_size(folder + "/report.log") != logged);
    for (int tick = 0; tick < 3; ++tick) QCOMPARE(counter.Tick(*window), 0);
    // A file named like a temporary file but not one is a download.
    WriteFile(folder + "/tmp/ZIP123456.exe", "MZ");
    QCOMPARE(counter.Tick(*window), 1);

    // Requests that wait for a running scan are kept once each: a folder that changed again
    // and again is scanned once after it.
    window->ScanEngine().Options.ScanRunning = 1;
    for (int i = 0; i < 3; ++i)
        QCoreApplication::postEvent(window.get(), new kv::ScanRequestEvent(0, window->imgLBox3));
    QCoreApplication::postEvent(window.get(), new kv::ScanRequestEvent(-1, window->imgLBox2));
    QCoreApplication::sendPostedEvents(window.get(), kv::kScanRequestEvent);
    QCOMPARE(window->PendingScanRequests(), std::size_t(2));
    window->ScanEngine().Options.ScanRunning = 0;
    fixture.CloseWindow(window);
}

void InternetTest::boundedWatchesShowTheStatusLineOnce() {
    DesktopFixture fixture;
    fixture.watchBounds.per_folder = 50;
    fixture.watchBounds.total = 80;
    fixture.watchBounds.added_per_poll = 20;
    auto window = fixture.MakeWindow();
    RequestCatcher catcher(window.get());
    const std::string folder = fixture.Scratch() / "crowd";
    MakeFolders(folder);
    window->imgLBox3->addItem(QString::fromStdString(folder));
    window->ModalitInternet1->trigger();
    window->status1->clear();
    for (int i = 0; i < 200; ++i) MakeFolders(folder + "/" + std::to_string(i));
    // Empty folders are no change; their watches come a few per tick, up to the bound, and
    // the status line says so once.
    for (int tick = 0; tick < 5; ++tick) QVERIFY(catcher.Tick(*window).empty());
    QCOMPARE(window->DownloadWatches().FolderCount(), std::size_t(51));
    const QString notice = QString::fromStdString(window->Messages().Text(281));
    QVERIFY(!notice.isEmpty());
    QCOMPARE(window->status1->text(), notice);
    window->status1->clear();
    QVERIFY(catcher.Tick(*window).empty());
    QVERIFY(window->status1->text().isEmpty());
    // The folder itself is still watched.
    WriteFile(folder + "/x.exe", "MZ");
    QCOMPARE(catcher.Tick(*window).size(), std::size_t(1));
    fixture.CloseWindow(window);
}

KV_UI_TEST_MAIN(InternetTest)
#include "internet_test.moc"
