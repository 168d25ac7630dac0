// The tray icon's tip and pop-up menu (events 1135 and 1137), showing and hiding the window,
// numbered hints, files dropped on the window, and the Update page against a real FTP server.
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QHelpEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>

#include <filesystem>

#include "platform/profile.h"
#include "tests/ui/ui_test_main.h"
#include "tests/ui/ui_test_support.h"
#include "tests/update/py_ftp_server.h"
#include "ui/hints.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"
#include "ui/windows/stepbar.h"

using kv::test::DesktopFixture;
using kv::test::WriteFile;

namespace {

QString Msg(kv::MainWindow& window, int number) {
    return QString::fromStdString(window.Messages().Text(static_cast<std::uint16_t>(number)));
}

void MouseOverIcon(kv::MainWindow& window) {
    kv::TrayNotifyEvent move(kv::kTrayIconId, kv::kTrayMouseMove);
    QCoreApplication::sendEvent(&window, &move);
}

// Right button on the icon: 1135 posts 1137, which opens the menu.
void RightClickIcon(kv::MainWindow& window) {
    QCoreApplication::postEvent(&window,
                                new kv::TrayNotifyEvent(kv::kTrayIconId, kv::kTrayRightDown));
    QCoreApplication::sendPostedEvents(&window);
    QCoreApplication::sendPostedEvents(&window);
}

}  // namespace

class TrayUpdateTest : public QObject {
    Q_OBJECT

private slots:
    void tipBeforeDuringAndAfterAScan();
    void menuEnableRulesShowAndHide();
    void numberedHints();
    void droppedFilesAndFoldersJoinTheResourceList();
    void updatePageRunsTheUpdate();
    void closeButtonEndsTheDownload();
    void trayWaitsForAnOpenDialog();
};

void TrayUpdateTest::tipBeforeDuringAndAfterAScan() {
    // The tip field holds 63 bytes: a longer text is cut before a character that does not fit.
    QCOMPARE(kv::CutAtCharacter(QString(62, 'a') + "è", 63), QString(62, 'a'));
    QCOMPARE(kv::CutAtCharacter(QString(61, 'a') + "è", 63), QString(61, 'a') + "è");

    DesktopFixture fixture;
    WriteFile(fixture.Scratch() / "tree/eicar.com", kv::test::EicarString());
    WriteFile(fixture.Scratch() / "tree/clean.exe", std::string(300, 'x'));
    auto window = fixture.MakeWindow();
    QCOMPARE(window->TrayTip(), QString("Kestravo antivirus"));
    MouseOverIcon(*window);
    QCOMPARE(window->TrayTip(), QString("Kestravo Antivirus"));

    window->imgLBox2->clear();
    window->imgLBox2->addItem(QString::fromStdString(fixture.Scratch() / "tree/"));
    QStringList tips_during;
    bool menu_checked = false, scan_item_enabled = true;
    connect(window.get(), &kv::MainWindow::ProgressCaptionChanged, this, [&] {
        MouseOverIcon(*window);
        tips_during << window->TrayTip();
        if (!menu_checked) {
            menu_checked = true;
            QEvent open(kv::kTrayMenuEvent);
            QCoreApplication::sendEvent(window.get(), &open);
            scan_item_enabled = window->AvviaScansione2->isEnabled();
            window->PopupMenu1->hide();
        }
    });
    window->SpeedButton1Click(window->SpeedButton1);
    QVERIFY(!tips_during.isEmpty());
    QCOMPARE(tips_during.first(), Msg(*window, 210));
    QVERIFY(menu_checked);
    QVERIFY(!scan_item_enabled);

    MouseOverIcon(*window);
    if (kv::test::ShippedDatabaseAvailable()) {
        QCOMPARE(window->TrayTip(), Msg(*window, 209) + "1");
    } else {
        QCOMPARE(window->TrayTip(), QString("Kestravo Antivirus"));
    }
    fixture.CloseWindow(window);
}

void TrayUpdateTest::menuEnableRulesShowAndHide() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QStringList captions{"Mostra Kestravo", "Nascondi Pannello", "", "Avvia Scansione", "",
                               "Chiudi Kestravo"};
    QStringList shown;
    for (QAction* item : window->PopupMenu1->actions()) shown << item->text();
    QCOMPARE(shown, captions);

    // Any other mouse message, a left click among them, does nothing.
    kv::TrayNotifyEvent left(kv::kTrayIconId, 513);
    QCoreApplication::sendEvent(window.get(), &left);
    QCoreApplication::sendPostedEvents(window.get());
    QVERIFY(!window->PopupMenu1->isVisible());

    RightClickIcon(*window);
    QVERIFY(window->PopupMenu1->isVisible());
    QVERIFY(window->AvviaScansione2->isEnabled());
    QVERIFY(window->NascondiPannello1->isEnabled());
    window->PopupMenu1->hide();

    // Hidden, the window keeps its timer; the menu cannot hide it again.
    window->NascondiPannello1->trigger();
    QVERIFY(!window->isVisible());
    QVERIFY(window->Timer1->isActive());
    RightClickIcon(*window);
    QVERIFY(!window->NascondiPannello1->isEnabled());
    window->PopupMenu1->hide();
    window->MostraKestravo1->trigger();
    QVERIFY(window->isVisible());
    fixture.CloseWindow(window);
}

void TrayUpdateTest::numberedHints() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QString text101 = Msg(*window, 101);
    QVERIFY(!text101.isEmpty());

    // The tray menu's scan item carries hint 101 too; the status label shows its text.
    emit window->PopupMenu1->hovered(window->AvviaScansione2);
    QCOMPARE(window->status1->text(), text101);
    // During a scan the label keeps the engine's text.
    window->ScanEngine().Options.ScanRunning = 1;
    window->status1->setText("/some/file.exe");
    emit window->PopupMenu1->hovered(window->AvviaScansione2);
    QCOMPARE(window->status1->text(), QString("/some/file.exe"));
    window->ScanEngine().Options.ScanRunning = 0;

    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), window->SpeedButton1->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(window->SpeedButton1, &help);
    QCOMPARE(QToolTip::text(), text101);
    // While it shows, another control's tooltip does not replace it.
    if (QToolTip::isVisible()) {
        QHelpEvent other(QEvent::ToolTip, QPoint(5, 5),
                         window->SpeedButton2->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(window->SpeedButton2, &other);
        QCOMPARE(QToolTip::text(), text101);
    }
    QToolTip::hideText();
    fixture.CloseWindow(window);
}

void TrayUpdateTest::droppedFilesAndFoldersJoinTheResourceList() {
    DesktopFixture fixture;
    const std::string folder = fixture.Scratch() / "dropped";
    const std::string file = fixture.Scratch() / "one.exe";
    WriteFile(file, "x");
    kv::test::MakeFolders(folder);
    auto window = fixture.MakeWindow();
    window->imgLBox2->clear();
    window->imgLBox2->addItem(QString::fromStdString(file));

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(folder)),
                  QUrl::fromLocalFile(QString::fromStdString(file)),
                  QUrl::fromLocalFile(QString::fromStdString(fixture.Scratch() / "missing"))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);
    QCOMPARE(kv::MainWindow::Entries(window->imgLBox2),
             (std::vector<std::string>{file, folder + "/"}));
    fixture.CloseWindow(window);
}

void TrayUpdateTest::updatePageRunsTheUpdate() {
    DesktopFixture fixture;
    const kv::test::TempDir& scratch = fixture.Scratch();
    kv::test::MakeFolders(scratch / "root");
    kv::test::MakeFolders(scratch / "keys");
    WriteFile(scratch / "src/virus.lst", "Alfa\nBeta\n");
    // A signed package, and the program folder trusts its key.
    QCOMPARE(kv::test::RunCommand(
                 {kv::test::ProgramDir() + "kestravo-mkupdate", "--new-key", scratch / "keys"})
                 .exit_code,
             0);
    WriteFile(fixture.ProgramFolder() + "update.pub",
              kv::test::ReadFile(scratch / "keys/update.pub"));
    kv::test::CommandResult made = kv::test::RunCommand(
        {kv::test::ProgramDir() + "kestravo-mkupdate", "--key", scratch / "keys/update.key",
         "--text", "Firme nuove", "--output", scratch / "root", scratch / "src/virus.lst"});
    QCOMPARE(made.exit_code, 0);
    std::filesystem::rename(scratch / "root/UPGRADE.ZIP", scratch / "root/upgrade.zip");
    kv::test::PyFtpServer server(scratch, scratch / "root");
    QVERIFY(server.Port() != 0);

    auto window = fixture.MakeWindow(24, server.Port());
    QVERIFY(window->memo6->isHidden());
    QVERIFY(!window->Closebtn->isEnabled());
    bool close_enabled_during_run = false;
    std::size_t requests_waiting = 0;
    connect(window->memo6, &QPlainTextEdit::textChanged, this, [&] {
        close_enabled_during_run |= window->Closebtn->isEnabled();
        requests_waiting = std::max(requests_waiting, window->PendingScanRequests());
    });
    // A scan request that arrives during the run waits for its end.
    window->imgLBox3->clear();
    window->imgLBox3->addItem(QString::fromStdString(scratch / "src"));
    QCoreApplication::postEvent(window.get(), new kv::ScanRequestEvent(-1, window->imgLBox3));
    window->ConnectBTN->click();
    QVERIFY(close_enabled_during_run);
    QCOMPARE(requests_waiting, std::size_t(1));
    QCOMPARE(window->ScanRequestCount(), 0);
    QVERIFY(kv::test::WaitFor([&] { return window->ScanRequestCount() == 1; }));
    const QStringList lines = window->memo6->toPlainText().split('\n');
    QCOMPARE(lines.first(), QString("Firme nuove"));
    QVERIFY(lines.contains("FILE: virus.lst OK"));
    QCOMPARE(lines.last(), QString("Upgrade success."));
    QVERIFY(!window->memo6->isHidden());
    QVERIFY(!window->Shape6->isHidden());
    QCOMPARE(window->ftpConnection->text(), QString("Disconnected"));
    QVERIFY(window->ConnectBTN->isEnabled());
    QVERIFY(!window->Closebtn->isEnabled());
    const auto package_size = std::filesystem::file_size(scratch / "root/upgrade.zip");
    QCOMPARE(window->ftpsizelabel->text(), QString::number(package_size));
    QCOMPARE(window->progressbar1->Max(), static_cast<int>(package_size / 1024));
    QCOMPARE(kv::test::ReadFile(fixture.ProgramFolder() + "virus.lst"),
             std::string("Alfa\nBeta\n"));

    // An entry that cannot be installed shows the error box and ends without success.
    std::filesystem::remove(fixture.ProgramFolder() + "virus.lst");
    kv::test::MakeFolders(fixture.ProgramFolder() + "virus.lst");
    window->ConnectBTN->click();
    QCOMPARE(fixture.dialogs.errors, QStringList{"Setup error|Package file error"});
    QVERIFY(!window->memo6->toPlainText().contains("Upgrade success."));
    fixture.CloseWindow(window);
}

void TrayUpdateTest::closeButtonEndsTheDownload() {
    DesktopFixture fixture;
    const kv::test::TempDir& scratch = fixture.Scratch();
    // Bytes that Deflate cannot shrink, so the package is big enough to be stopped midway.
    std::string noise(1 << 20, '\0');
    std::uint32_t state = 12345;
    for (char& c : noise) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    WriteFile(scratch / "src/big.dat", noise);
    kv::test::MakeFolders(scratch / "root");
    kv::test::CommandResult made =
        kv::test::RunCommand({kv::test::ProgramDir() + "kestravo-mkupdate", "--output",
                              scratch / "root", scratch / "src/big.dat"});
    QCOMPARE(made.exit_code, 0);
    std::filesystem::rename(scratch / "root/UPGRADE.ZIP", scratch / "root/upgrade.zip");
    kv::test::PyFtpServer server(scratch, scratch / "root", 256 * 1024);
    QVERIFY(server.Port() != 0);
    // An unsigned package, which the settings file allows (the program folder has no key).
    QVERIFY(kv::platform::Profile::Settings().WriteBool("Update", "AllowUnsigned", true));

    auto window = fixture.MakeWindow(24, server.Port());
    // The user presses Close once the package has begun to arrive.
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (window->ftpsizelabel->text() != "0" && window->Closebtn->isEnabled())
            window->Closebtn->click();
    });
    watch.start(10);
    window->ConnectBTN->click();
    watch.stop();
    const QStringList lines = window->memo6->toPlainText().split('\n');
    QCOMPARE(lines.mid(0, 2), (QStringList{"Error: UPGRADE not found.", " "}));
    QVERIFY(!lines.contains("Upgrade success."));
    // The cut package never reached the program folder.
    QVERIFY(!std::filesystem::exists(fixture.ProgramFolder() + "UPGRADE.ZIP"));
    QVERIFY(!std::filesystem::exists(fixture.ProgramFolder() + "big.dat"));
    QVERIFY(window->ConnectBTN->isEnabled());
    fixture.CloseWindow(window);
}

// Closing from the tray or a scan request while the destination folder dialog of the action
// window is open: the window stays (the dialog comes to the front) and the scan waits for the
// end of the action.
void TrayUpdateTest::trayWaitsForAnOpenDialog() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    window->show();
    const auto& scratch = fixture.Scratch();
    WriteFile(scratch / "v.exe", "virus");
    window->Report().AddReportLine(scratch / "v.exe", "Test", kv::kind::InfectedFile);
    window->Allargafinestra1->trigger();
    kv::TForm4* widened = window->WidenedWindow();
    QVERIFY(widened != nullptr);
    widened->Timer1Timer();
    QListWidget targets;
    targets.addItem(QString::fromStdString(scratch / "clean/"));
    kv::test::MakeFolders(scratch / "clean/");

    bool stayed_open = false;
    std::size_t held = 0;
    fixture.dialogs.duringFolder = [&](QWidget* parent) {
        QDialog dialog(parent);  // a real modal dialog, as the destination dialog is
        QTimer::singleShot(0, &dialog, [&] {
            QCoreApplication::postEvent(window.get(), new kv::ScanRequestEvent(-1, &targets));
            window->ChiudiKestravo1->trigger();
            QCoreApplication::processEvents();
            stayed_open = window->isVisible() && widened->isVisible();
            held = window->PendingScanRequests();
            dialog.reject();
        });
        dialog.exec();
    };
    widened->ComboBox1Change(0);  // copy: asks for the folder, then cancelled
    QVERIFY(stayed_open);
    QCOMPARE(held, std::size_t(1));
    QVERIFY(kv::test::WaitFor([&] { return window->PendingScanRequests() == 0; }));
    fixture.dialogs.duringFolder = nullptr;
    fixture.CloseWindow(window);
}

KV_UI_TEST_MAIN(TrayUpdateTest)
#include "tray_update_test.moc"