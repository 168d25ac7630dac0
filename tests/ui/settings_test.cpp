// What the desktop program keeps between runs: the settings file, the two list files, the
// log switch with its save dialog.
#include <QAction>
#include <QListWidget>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "platform/files.h"
#include "platform/profile.h"
#include "tests/ui/ui_test_main.h"
#include "tests/ui/ui_test_support.h"
#include "ui/settings.h"
#include "ui/timgbox.h"

using kv::test::DesktopFixture;
using kv::test::ReadFile;
using kv::test::WriteFile;

class SettingsTest : public QObject {
    Q_OBJECT

private slots:
    void firstStartHasEveryDefault();
    void settingsAndListsSurviveARestart();
    void logSwitchAsksForAFileAndSavesTheReport();
    void emptyStoredLogNameFallsBackToTheDefault();
    void languageComesFromTheSettings();
    void listFileLineRules();
    void listFilesAreFoundWhateverTheirCase();
    void refusedWritesAreReportedAndTheWindowStillCloses();
};

void SettingsTest::firstStartHasEveryDefault() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    QVERIFY(!window->SpeedButton6->isChecked());
    QVERIFY(!window->SpeedButton7->isChecked());
    QVERIFY(window->SalvaReport1->isChecked());
    QCOMPARE(window->LogFileName(), fixture.ProgramFolder() + "report.log");
    QCOMPARE(window->Messages().Language(), 1);
    QCOMPARE(kv::MainWindow::Entries(window->imgLBox2), std::vector<std::string>{"/"});
    QCOMPARE(window->imgLBox3->count(), 0);
    // The two options are checked at every start.
    QVERIFY(window->ControllaZipFiles1->isChecked());
    QVERIFY(window->Controllasottocartelle1->isChecked());
    fixture.CloseWindow(window);

    kv::platform::Profile profile(fixture.SettingsFile());
    QCOMPARE(profile.ReadString("Internet", "Active", "x"), std::string("0"));
    QCOMPARE(profile.ReadString("Timer", "Active", "x"), std::string("0"));
    QCOMPARE(profile.ReadString("SaveLog", "Active", "x"), std::string("1"));
    QCOMPARE(profile.ReadString("LogFile", "Active", "x"), fixture.ProgramFolder() + "report.log");
    QCOMPARE(ReadFile(fixture.ProgramFolder() + "List.cfg"), std::string("/\r\n"));
    QVERIFY(kv::platform::FileExists(fixture.ProgramFolder() + "Auto.cfg"));
    QCOMPARE(ReadFile(fixture.ProgramFolder() + "Auto.cfg"), std::string());
}

void SettingsTest::settingsAndListsSurviveARestart() {
    DesktopFixture fixture;
    {
        auto window = fixture.MakeWindow();
        window->imgLBox2->clear();
        QVERIFY(window->AddResource("/tmp/a/"));
        QVERIFY(window->AddResource("/tmp/b.exe"));
        window->imgLBox3->addItem("/home/user/Downloads");
        window->imgLBox3->addItem("/srv/incoming/");
        window->SpeedButton6->setChecked(true);
        window->SpeedButton7->setChecked(true);
        window->SalvaReport1->trigger();  // the log switch goes off, no dialog
        QVERIFY(!window->SalvaReport1->isChecked());
        QCOMPARE(fixture.dialogs.saveStarts.size(), 0);
        fixture.CloseWindow(window);
    }
    QCOMPARE(ReadFile(fixture.ProgramFolder() + "List.cfg"),
             std::string("/tmp/a/\r\n/tmp/b.exe\r\n"));
    QCOMPARE(ReadFile(fixture.ProgramFolder() + "Auto.cfg"),
             std::string("/home/user/Downloads\r\n/srv/incoming/\r\n"));
    {
        auto window = fixture.MakeWindow();
        QCOMPARE(kv::MainWindow::Entries(window->imgLBox2),
                 (std::vector<std::string>{"/tmp/a/", "/tmp/b.exe"}));
        QCOMPARE(kv::MainWindow::Entries(window->imgLBox3),
                 (std::vector<std::string>{"/home/user/Downloads", "/srv/incoming/"}));
        QVERIFY(window->SpeedButton6->isChecked());
        QVERIFY(window->SpeedButton7->isChecked());
        QVERIFY(!window->SalvaReport1->isChecked());
        // With the switch off the name is not read, and closing writes it back empty.
        QCOMPARE(window->Settings().LogFile, std::string());
        fixture.CloseWindow(window);
    }
    kv::platform::Profile profile(fixture.SettingsFile());
    QCOMPARE(profile.ReadString("LogFile", "Active", "x"), std::string());
    QCOMPARE(profile.ReadString("Internet", "Active", "x"), std::string("1"));
    QCOMPARE(profile.ReadString("Timer", "Active", "x"), std::string("1"));
}

void SettingsTest::logSwitchAsksForAFileAndSavesTheReport() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    window->Report().AddReportLine("first line", "", 0);
    window->Report().AddReportLine("File trovati:", "12", kv::kind::SummaryValue);

    window->SalvaReport1->trigger();  // off
    QVERIFY(!window->SalvaReport1->isChecked());
    fixture.dialogs.fileAnswers.push_back(std::nullopt);
    window->SalvaReport1->trigger();  // on, but the dialog is cancelled
    QVERIFY(!window->SalvaReport1->isChecked());
    QCOMPARE(fixture.dialogs.saveStarts.size(), 1);
    QCOMPARE(fixture.dialogs.saveStarts.first(),
             QString::fromStdString(fixture.ProgramFolder() + "report.log"));

    const std::string chosen = fixture.Scratch() / "chosen.LOG";
    fixture.dialogs.fileAnswers.push_back(QString::fromStdString(chosen));
    window->SalvaReport1->trigger();
    QVERIFY(window->SalvaReport1->isChecked());
    QCOMPARE(window->LogFileName(), chosen);
    // The whole report is written at once.
    QCOMPARE(ReadFile(chosen), std::string("first line\r\nFile trovati: 12\r\n"));
    fixture.CloseWindow(window);
    QCOMPARE(kv::platform::Profile(fixture.SettingsFile()).ReadString("LogFile", "Active", ""),
             chosen);
}

void SettingsTest::emptyStoredLogNameFallsBackToTheDefault() {
    DesktopFixture fixture;
    // What a run with the switch off leaves behind, with the switch turned on by hand.
    WriteFile(fixture.SettingsFile(), "[SaveLog]\nActive=1\n[LogFile]\nActive=\n");
    auto window = fixture.MakeWindow();
    QVERIFY(window->SalvaReport1->isChecked());
    QCOMPARE(window->LogFileName(), fixture.ProgramFolder() + "report.log");
    window->imgLBox2->clear();
    window->SpeedButton1Click();
    QVERIFY(kv::platform::FileExists(fixture.ProgramFolder() + "report.log"));
    QVERIFY(ReadFile(fixture.ProgramFolder() + "report.log").find("Nessuna risorsa selezionata!") !=
            std::string::npos);
    fixture.CloseWindow(window);
}

void SettingsTest::languageComesFromTheSettings() {
    DesktopFixture fixture;
    WriteFile(fixture.SettingsFile(), "[langue]\nsetup=0x2\n");
    auto window = fixture.MakeWindow();
    QCOMPARE(window->Messages().Language(), 2);
    kv::Catalogue english(fixture.ProgramFolder(), 2);
    QCOMPARE(window->SpeedButton1->text(), QString::fromStdString(english.Text(137)));
    fixture.CloseWindow(window);

    WriteFile(fixture.SettingsFile(), "[Langue]\nSetup=two\n");
    window = fixture.MakeWindow();
    QCOMPARE(window->Messages().Language(), 1);
    fixture.CloseWindow(window);
}

void SettingsTest::listFileLineRules() {
    kv::test::TempDir dir;
    std::vector<std::string> entries;
    WriteFile(dir / "a.cfg", "C:/one\r\n\r\n/two\r\n");
    QVERIFY(kv::LoadListFile(dir / "a.cfg", entries));
    QCOMPARE(entries, (std::vector<std::string>{"C:/one", "", "/two"}));
    // Lines end at CR, LF or the pair; the last line needs no end; a zero byte ends the text.
    WriteFile(dir / "b.cfg", std::string("a\nb\rc\r\nd\n\re\0f\r\n", 16));
    QVERIFY(kv::LoadListFile(dir / "b.cfg", entries));
    QCOMPARE(entries, (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
    WriteFile(dir / "empty.cfg", "");
    QVERIFY(kv::LoadListFile(dir / "empty.cfg", entries));
    QVERIFY(entries.empty());
    QVERIFY(!kv::LoadListFile(dir / "missing.cfg", entries));

    QVERIFY(kv::SaveListFile(dir / "out.cfg", {"x", "", "y"}));
    QCOMPARE(ReadFile(dir / "out.cfg"), std::string("x\r\n\r\ny\r\n"));
    QVERIFY(kv::SaveListFile(dir / "none.cfg", {}));
    QCOMPARE(ReadFile(dir / "none.cfg"), std::string());
}

void SettingsTest::listFilesAreFoundWhateverTheirCase() {
    DesktopFixture fixture;
    WriteFile(fixture.ProgramFolder() + "AUTO.CFG", "/downloads\r\n");
    WriteFile(fixture.ProgramFolder() + "list.CFG", "/data/\r\n");
    auto window = fixture.MakeWindow();
    QCOMPARE(kv::MainWindow::Entries(window->imgLBox3), std::vector<std::string>{"/downloads"});
    QCOMPARE(kv::MainWindow::Entries(window->imgLBox2), std::vector<std::string>{"/data/"});
    window->imgLBox3->addItem("/more");
    fixture.CloseWindow(window);
    // Written back into the files that were read, not beside them.
    QCOMPARE(ReadFile(fixture.ProgramFolder() + "AUTO.CFG"),
             std::string("/downloads\r\n/more\r\n"));
    QVERIFY(!kv::platform::FileExists(fixture.ProgramFolder() + "Auto.cfg"));
    QVERIFY(!kv::platform::FileExists(fixture.ProgramFolder() + "List.cfg"));
}

void SettingsTest::refusedWritesAreReportedAndTheWindowStillCloses() {
    DesktopFixture fixture;
    // The settings folder lies below a regular file: nothing can be written there.
    WriteFile(fixture.ConfigHome() + "kestravo", "not a folder");
    auto window = fixture.MakeWindow();
    QSignalSpy closed(window.get(), &kv::MainWindow::Closed);
    window->show();
    QVERIFY(window->close());
    QCOMPARE(closed.count(), 1);
    QCOMPARE(fixture.dialogs.messages.size(), 1);
    QVERIFY(fixture.dialogs.messages.first().startsWith(
        QString::fromStdString("Unable to write to " + fixture.ConfigHome() + "kestravo/")));
    // The lists were saved all the same.
    QCOMPARE(ReadFile(fixture.ProgramFolder() + "List.cfg"), std::string("/\r\n"));
    window.reset();
}

KV_UI_TEST_MAIN(SettingsTest)
#include "settings_test.moc"
