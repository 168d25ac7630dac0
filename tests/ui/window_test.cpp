// The main window as a user meets it: start-up, geometry, pages and menus, captions and hints
// from the catalogue, the Resource list, the virus list page, the clock, closing; and the
// about window, the path dialog and the help window.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QStatusTipEvent>
#include <QTabBar>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include "platform/files.h"
#include "tests/ui/ui_test_main.h"
#include "tests/ui/ui_test_support.h"
#include "ui/help_window.h"
#include "ui/program.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"
#include "ui/windows/pathwindow.h"
#include "ui/windows/start.h"

using kv::test::DesktopFixture;
using kv::test::WriteFile;

namespace {

QString Msg(const kv::Catalogue& catalogue, int number) {
    return QString::fromStdString(catalogue.Text(static_cast<std::uint16_t>(number)));
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void startUp();
    void geometryAndLayout();
    void menusShortcutsAndCheckMarks();
    void captionsFromTheCatalogue();
    void captionsWithoutACatalogueAreEmpty();
    void hintsAreTranslated();
    void resourceListRules();
    void typedPathOpensTheFolderTree();
    void tabsAndTheVirusList();
    void clockAndTimer();
    void aboutWindowKeepsScanRunning();
    void aboutWindowClosesItself();
    void aboutWindowBelowEightBits();
    void pathDialog();
    void helpOpensTheHelpFile();
};

void WindowTest::startUp() {
    QCOMPARE(QApplication::applicationDisplayName(), QString(kv::kApplicationTitle));
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    QCOMPARE(window->windowTitle(), QString("Kestravo"));
    // The about window was shown once, with ScanRunning set while it was open.
    QCOMPARE(fixture.dialogs.aboutShown, 1);
    QCOMPARE(fixture.dialogs.scanRunningDuringAbout, 1);
    QCOMPARE(window->ScanEngine().Options.ScanRunning, std::uint8_t(0));
    QCOMPARE(window->ProgramFolder(), fixture.ProgramFolder());
    QCOMPARE(window->TemporaryFolder(), kv::platform::TempFolder());
    QCOMPARE(window->Report().Count(), std::size_t(0));
    QCOMPARE(window->Memo1->HorizontalExtent(), 1024);
    QVERIFY(!window->ScanInProgress());
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    // Shown: the folder tree stands at the root of the current drive.
    QCOMPARE(window->DirectoryListBox1->Directory(), window->DriveComboBox1->currentText());
    fixture.CloseWindow(window);
}

void WindowTest::geometryAndLayout() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    const int menu = window->menuBar()->sizeHint().height();
    // The window's outer sizes less the classic frame; the menu bar at its own height.
    QCOMPARE(window->maximumSize(), QSize(648 - 8, 465 - 46 + menu));
    QCOMPARE(window->minimumSize(), QSize(319 - 8, 171 - 46 + menu));
    QCOMPARE(window->size(), QSize(647 - 8, 465 - 46 + menu));
    window->resize(2000, 2000);
    QCOMPARE(window->size(), window->maximumSize());
    window->resize(10, 10);
    QCOMPARE(window->size(), window->minimumSize());
    window->resize(639, 419 + menu);

    QCOMPARE(window->Image3->geometry(), QRect(0, 1, 639, 393));
    QCOMPARE(window->Label1->pos(), QPoint(27, 13));
    QCOMPARE(window->Label2->pos(), QPoint(31, 48));
    QCOMPARE(window->Label3->geometry(), QRect(336, 15, 290, 54));
    QCOMPARE(window->Notebook1->geometry(), QRect(28, 101, 340, 236));
    QCOMPARE(window->TabSet1->geometry(), QRect(94, 344, 259, 20));
    QCOMPARE(window->Label19->pos(), QPoint(399, 95));
    QCOMPARE(window->imgLBox2->geometry(), QRect(394, 111, 227, 69));
    QCOMPARE(window->SpeedButton1->geometry(), QRect(402, 217, 159, 43));
    QCOMPARE(window->SpeedButton2->geometry(), QRect(451, 294, 158, 43));
    QCOMPARE(window->imgLBox2->RowHeight(), 16);
    QCOMPARE(window->Memo1->RowHeight(), 19);
    QCOMPARE(window->Memo1->Tag(), 1);
    QCOMPARE(window->Memo1->selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(window->imgLBox2->selectionMode(), QAbstractItemView::ExtendedSelection);
    // The status bar: 24 high at the bottom, Status2 130 wide in a 136-wide panel.
    QWidget* client = window->centralWidget();
    QCOMPARE(window->StatusBar1->geometry(), QRect(0, client->height() - 24, client->width(), 24));
    QCOMPARE(window->Status2->width(), 130);
    QCOMPARE(window->Status2->alignment(), Qt::AlignCenter);

    // Faces and colours of the layout.
    QCOMPARE(window->Label1->font().family(), QString("Liberation Serif"));
    QCOMPARE(window->Label1->font().pixelSize(), 32);
    QVERIFY(window->Label1->font().bold());
    QCOMPARE(window->Label1->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    QCOMPARE(window->Label3->font().family(), QString("Liberation Mono"));
    QCOMPARE(window->Label3->font().pixelSize(), 48);
    QCOMPARE(window->Label3->palette().color(QPalette::WindowText), QColor(Qt::white));
    QCOMPARE(window->Label19->palette().color(QPalette::WindowText), QColor(255, 255, 0));
    QCOMPARE(window->Label19->font().pixelSize(), 13);
    QCOMPARE(window->SpeedButton1->font().family(), QString("Liberation Serif"));
    QCOMPARE(window->SpeedButton1->font().pixelSize(), 24);
    QCOMPARE(window->Memo1->font().family(), QString("Liberation Sans"));
    QVERIFY(window->Memo1->font().bold());
    QCOMPARE(window->Memo1->palette().color(QPalette::Base), QColor(0, 0, 128));
    // The folder tree lies on its picture, the drive box on the pale yellow.
    QVERIFY(!window->DirectoryListBox1->palette().brush(QPalette::Base).texture().isNull());
    QCOMPARE(window->DirectoryListBox1->palette().color(QPalette::Text), QColor(0, 0, 128));
    QCOMPARE(window->DriveComboBox1->palette().color(QPalette::Base), QColor(235, 209, 88));
    QCOMPARE(window->DirectoryListBox1->selectionMode(), QAbstractItemView::SingleSelection);

    // Five pages, and the page-4 controls in their first state.
    QCOMPARE(window->Notebook1->count(), 5);
    QCOMPARE(window->ftpConnection->text(), QString("Disconnected"));
    QCOMPARE(window->ftpsizelabel->text(), QString("0"));
    QVERIFY(window->ConnectBTN->isEnabled());
    QVERIFY(!window->Closebtn->isEnabled());
    QVERIFY(window->memo6->isHidden());
    QVERIFY(window->Shape6->isHidden());
    fixture.CloseWindow(window);
}

void WindowTest::menusShortcutsAndCheckMarks() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    const struct {
        QAction* item;
        QKeySequence shortcut;
    } shortcuts[] = {
        {window->AvviaScansione1, QKeySequence("Ctrl+A")},
        {window->StopScansione1, QKeySequence("Ctrl+C")},
        {window->mostraSetup1, QKeySequence("Ctrl+S")},
        {window->MostraReport1, QKeySequence("Ctrl+R")},
        {window->Allargafinestra1, QKeySequence("Ctrl+G")},
        {window->Attivatimer1, QKeySequence("Ctrl+T")},
        {window->ModalitInternet1, QKeySequence("Ctrl+I")},
        {window->Esci1, QKeySequence()},
    };
    for (const auto& entry : shortcuts) QCOMPARE(entry.item->shortcut(), entry.shortcut);
    QVERIFY(!window->StopScansione1->isEnabled());
    QVERIFY(window->ControllaZipFiles1->isCheckable() && window->ControllaZipFiles1->isChecked());
    window->ControllaZipFiles1->trigger();
    QVERIFY(!window->ControllaZipFiles1->isChecked());
    QVERIFY(window->Controllasottocartelle1->isChecked());
    QVERIFY(window->SalvaReport1->isCheckable());
    // The menus in their order; the "&Internet" heading keeps its caption.
    QList<QAction*> menus = window->menuBar()->actions();
    QCOMPARE(menus.size(), 5);
    QCOMPARE(menus[2]->text(), QString("&Internet"));

    // The page items.
    window->mostraSetup1->trigger();
    QCOMPARE(window->Notebook1->currentIndex(), 0);
    window->MostraReport1->trigger();
    QCOMPARE(window->Notebook1->currentIndex(), 1);
    window->Mostrapannello1->trigger();
    QCOMPARE(window->Notebook1->currentIndex(), 2);
    // Esci closes the window when no scan runs.
    QSignalSpy closed(window.get(), &kv::MainWindow::Closed);
    window->show();
    window->Esci1->trigger();
    QCOMPARE(closed.count(), 1);
    window.reset();
}

void WindowTest::captionsFromTheCatalogue() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    const kv::Catalogue& c = window->Messages();
    QVERIFY(!Msg(c, 137).isEmpty());
    const struct {
        QWidget* control;
        int message;
    } tagged[] = {
        {window->Label2, 112},       {window->Label19, 136},      {window->SpeedButton1, 137},
        {window->SpeedButton2, 138}, {window->Label4, 143},       {window->SpeedButton3, 144},
        {window->SpeedButton4, 145}, {window->SpeedButton5, 146}, {window->Label6, 147},
        {window->Label7, 200},       {window->Label14, 201},      {window->BitBtn1, 202},
        {window->BitBtn2, 203},
    };
    for (const auto& entry : tagged) {
        QString text = entry.control->property("text").toString();
        QCOMPARE(text, Msg(c, entry.message));
    }
    const struct {
        QAction* item;
        int message;
    } items[] = {
        {window->File1->menuAction(), 115},
        {window->AvviaScansione1, 116},
        {window->StopScansione1, 117},
        {window->mostraSetup1, 118},
        {window->Esci1, 119},
        {window->Report1->menuAction(), 120},
        {window->MostraReport1, 121},
        {window->SalvaReport1, 122},
        {window->VisualizzaLogfile1, 123},
        {window->Allargafinestra1, 124},
        {window->Stampa1, 125},
        {window->Mostrapannello1, 127},
        {window->Attivatimer1, 128},
        {window->ModalitInternet1, 129},
        {window->Opzioni1->menuAction(), 130},
        {window->ControllaZipFiles1, 131},
        {window->Controllasottocartelle1, 206},
        {window->Help1->menuAction(), 132},
        {window->Contents1, 133},
        {window->About1, 134},
    };
    for (const auto& entry : items) QCOMPARE(entry.item->text(), Msg(c, entry.message));
    // Controls with tag 0 keep their captions.
    QCOMPARE(window->Label3->text(), QString("AntiVirus "));
    QCOMPARE(window->Label1->text(), QString("Kestravo"));
    QCOMPARE(window->SpeedButton14->text(), QString("I"));
    QCOMPARE(window->Internet1->title(), QString("&Internet"));
    // The tabs are messages 340 to 344.
    QCOMPARE(window->TabSet1->count(), 5);
    for (int i = 0; i < 5; ++i) QCOMPARE(window->TabSet1->tabText(i), Msg(c, 340 + i));
    QCOMPARE(window->TabSet1->currentIndex(), 0);
    // The Italian captions that the catalogue repeats.
    QCOMPARE(window->SpeedButton1->text(), QString("Scansione"));
    QCOMPARE(window->TabSet1->tabText(3), QString("Viruslist"));
    // "Usa Timer" is short: Label6 keeps its bold face.
    QVERIFY(window->Label6->font().bold());
    fixture.CloseWindow(window);
}

void WindowTest::captionsWithoutACatalogueAreEmpty() {
    DesktopFixture fixture;
    kv::platform::RemoveFile(fixture.ProgramFolder() + "langua.ge");
    auto window = fixture.MakeWindow();
    // Numbered captions are overwritten even with an empty text; the program runs on.
    QCOMPARE(window->SpeedButton1->text(), QString());
    QCOMPARE(window->Label19->text(), QString());
    QCOMPARE(window->AvviaScansione1->text(), QString());
    QCOMPARE(window->Label3->text(), QString("AntiVirus "));
    QCOMPARE(window->TabSet1->tabText(0), QString());
    window->SpeedButton1Click();
    QVERIFY(window->Report().Count() > 0);
    fixture.CloseWindow(window);
}

void WindowTest::hintsAreTranslated() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const kv::Catalogue& c = window->Messages();
    QCOMPARE(window->SpeedButton1->toolTip(), QString("101"));

    // The status label shows the text of the numbered hint.
    QStatusTipEvent tip(window->SpeedButton1->statusTip());
    QApplication::sendEvent(window->SpeedButton1, &tip);
    QCOMPARE(window->status1->text(), Msg(c, 101));
    QStatusTipEvent item_tip(window->SalvaReport1->statusTip());
    QApplication::sendEvent(window.get(), &item_tip);
    QCOMPARE(window->status1->text(), Msg(c, 218));
    // A longer hint stands as it is; an empty one empties the label.
    QStatusTipEvent text_tip("Aggiungi file");
    QApplication::sendEvent(window.get(), &text_tip);
    QCOMPARE(window->status1->text(), QString("Aggiungi file"));
    QStatusTipEvent no_tip("");
    QApplication::sendEvent(window.get(), &no_tip);
    QCOMPARE(window->status1->text(), QString());

    // The tooltip shows the translated text.
    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), window->SpeedButton2->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(window->SpeedButton2, &help);
    QCOMPARE(QToolTip::text(), Msg(c, 102));
    QToolTip::hideText();

    // During a scan the status label keeps the engine's text.
    window->ScanEngine().Options.ScanRunning = 1;
    window->status1->setText("/some/file.exe");
    QApplication::sendEvent(window->SpeedButton1, &tip);
    QCOMPARE(window->status1->text(), QString("/some/file.exe"));
    window->ScanEngine().Options.ScanRunning = 0;

    const struct {
        QObject* control;
        const char* hint;
    } hints[] = {
        {window->Label20, "103"},
        {window->DriveComboBox1, "104"},
        {window->DirectoryListBox1, "105"},
        {window->SpeedButton3, "106"},
        {window->SpeedButton4, "107"},
        {window->SpeedButton5, "108"},
        {window->SpeedButton14, "109"},
        {window->imgLBox2, "213"},
        {window->ModalitInternet1, "214"},
        {window->ControllaZipFiles1, "215"},
        {window->Controllasottocartelle1, "216"},
        {window->Attivatimer1, "217"},
        {window->Label6, "217"},
        {window->SpeedButton6, "217"},
        {window->VisualizzaLogfile1, "219"},
        {window->Allargafinestra1, "220"},
        {window->Stampa1, "221"},
        {window->SpeedButton7, "273"},
        {window->BitBtn1, "274"},
        {window->BitBtn2, "275"},
        {window->AvviaScansione1, "101"},
    };
    for (const auto& entry : hints)
        QCOMPARE(entry.control->property("statusTip").toString(), QString(entry.hint));
    fixture.CloseWindow(window);
}

void WindowTest::resourceListRules() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    kv::TimgLBox* list = window->imgLBox2;
    QCOMPARE(list->count(), 1);
    QVERIFY(!window->AddResource("/"));
    QVERIFY(window->AddResource("/tmp/Photos/"));
    QVERIFY(!window->AddResource("/TMP/photos/"));
    QCOMPARE(list->count(), 2);

    // A folder picked in the tree gets its '/'.
    const std::string folder = fixture.Scratch() / "Picked";
    kv::test::MakeFolders(folder);
    QVERIFY(window->DirectoryListBox1->SetDirectory(QString::fromStdString(folder)));
    window->SpeedButton3Click();
    QCOMPARE(list->item(2)->text(), QString::fromStdString(folder + "/"));
    window->SpeedButton3Click();
    QCOMPARE(list->count(), 3);

    // A file is stored as chosen; a cancelled dialog adds nothing.
    fixture.dialogs.fileAnswers.push_back(QString("/data/report.doc"));
    window->SpeedButton5Click();
    QCOMPARE(list->item(3)->text(), QString("/data/report.doc"));
    fixture.dialogs.fileAnswers.push_back(std::nullopt);
    window->SpeedButton5Click();
    window->AddResource("/last/");
    QCOMPARE(list->count(), 5);

    // Three of five selected: the other two stay in their order.
    list->clearSelection();
    for (int i : {0, 2, 3}) list->item(i)->setSelected(true);
    window->SpeedButton4Click();
    QCOMPARE(kv::MainWindow::Entries(list), (std::vector<std::string>{"/tmp/Photos/", "/last/"}));

    // Focus entering the Resource list brings back page 0.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->TabSet1->setCurrentIndex(1);
    window->Memo1->setFocus();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(20, 5));
    QCOMPARE(window->TabSet1->currentIndex(), 0);
    QCOMPARE(window->Notebook1->currentIndex(), 0);
    fixture.CloseWindow(window);
}

void WindowTest::typedPathOpensTheFolderTree() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    const std::string folder = fixture.Scratch() / "MixedCase";
    kv::test::MakeFolders(folder);
    const int before = window->imgLBox2->count();

    fixture.dialogs.pathAnswers.push_back(QString::fromStdString(folder));
    window->SpeedButton14Click();
    QCOMPARE(fixture.dialogs.pathStarts, QStringList{QString()});
    // The path is opened as typed (this system tells cases apart) and not added to the list.
    QCOMPARE(window->DirectoryListBox1->Directory(), QString::fromStdString(folder));
    QCOMPARE(window->LastTypedPath(), QString::fromStdString(folder));
    QCOMPARE(window->imgLBox2->count(), before);

    // The next time the dialog starts with it; an empty text changes nothing.
    fixture.dialogs.pathAnswers.push_back(QString());
    window->SpeedButton14Click();
    QCOMPARE(fixture.dialogs.pathStarts.last(), QString::fromStdString(folder));
    QCOMPARE(window->LastTypedPath(), QString::fromStdString(folder));
    // A path that is no folder is refused with a message.
    fixture.dialogs.pathAnswers.push_back(QString::fromStdString(fixture.Scratch() / "none"));
    window->SpeedButton14Click();
    QCOMPARE(window->DirectoryListBox1->Directory(), QString::fromStdString(folder));
    QCOMPARE(fixture.dialogs.messages.size(), 1);
    fixture.CloseWindow(window);
}

void WindowTest::tabsAndTheVirusList() {
    DesktopFixture fixture;
    WriteFile(fixture.ProgramFolder() + "virus.lst", "Alpha\r\nBeta\r\nGamma\r\n");
    auto window = fixture.MakeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->TabSet1->setCurrentIndex(3);
    QCOMPARE(window->Notebook1->currentIndex(), 3);
    QCOMPARE(window->virusListBox->count(), 3);
    QCOMPARE(window->virusListBox->item(1)->text(), QString("Beta"));
    QVERIFY(QApplication::overrideCursor() == nullptr);
    // The handler acts only when the tab changes.
    window->virusListBox->clear();
    window->TabSet1Click();
    QCOMPARE(window->virusListBox->count(), 0);
    // Leaving the page empties the list.
    window->TabSet1->setCurrentIndex(3 - 1);
    QCOMPARE(window->virusListBox->count(), 0);
    QCOMPARE(QApplication::focusWidget(), window->imgLBox3);
    window->TabSet1->setCurrentIndex(1);
    QCOMPARE(QApplication::focusWidget(), window->Memo1);

    // Without the file the list holds message 199.
    kv::platform::RemoveFile(fixture.ProgramFolder() + "virus.lst");
    window->TabSet1->setCurrentIndex(3);
    QCOMPARE(window->virusListBox->count(), 1);
    QCOMPARE(window->virusListBox->item(0)->text(), Msg(window->Messages(), 199));
    fixture.CloseWindow(window);
}

void WindowTest::clockAndTimer() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    QCOMPARE(window->Timer1->interval(), 1500);
    QVERIFY(window->Timer1->isActive());
    window->Timer1Timer();
    QVERIFY2(QRegularExpression("^\\d\\d\\.\\d\\d\\.\\d\\d - \\d\\d/\\d\\d/\\d{4}$")
                 .match(window->Status2->text())
                 .hasMatch(),
             qPrintable(window->Status2->text()));
    // The tick comes by itself.
    window->Status2->setText(QString());
    QVERIFY(kv::test::WaitFor([&] { return !window->Status2->text().isEmpty(); }, 4000));
    fixture.CloseWindow(window);
}

void WindowTest::aboutWindowKeepsScanRunning() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    // Closing is refused while the about window is open (ScanRunning is set).
    bool refused = false;
    fixture.dialogs.duringAbout = [&] { refused = !window->close(); };
    window->show();
    window->About1Click();
    QVERIFY(refused);
    QCOMPARE(window->ScanEngine().Options.ScanRunning, std::uint8_t(0));
    // Opened during a scan it gives ScanRunning back set.
    fixture.dialogs.duringAbout = nullptr;
    window->ScanEngine().Options.ScanRunning = 1;
    window->About1Click();
    QCOMPARE(window->ScanEngine().Options.ScanRunning, std::uint8_t(1));
    window->ScanEngine().Options.ScanRunning = 0;
    fixture.CloseWindow(window);
}

void WindowTest::aboutWindowClosesItself() {
    DesktopFixture fixture;
    kv::Catalogue catalogue(fixture.ProgramFolder(), 1);
    QString error;
    auto about = kv::TForm1::Create(catalogue, 24, fixture.ProgramFolder(), error);
    QVERIFY(about != nullptr);
    QVERIFY(about->Panel1->isHidden());
    QCOMPARE(about->Image1->pixmap().size(), QSize(508, 399));
    QCOMPARE(about->size(), QSize(508, 399));
    QVERIFY(about->windowFlags() & Qt::FramelessWindowHint);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(about->exec(), int(QDialog::Accepted));
    QVERIFY(timer.elapsed() >= 1400);
    QVERIFY(timer.elapsed() < 5000);

    // Without its picture file there is no window, and the message names the file.
    kv::platform::RemoveFile(fixture.ProgramFolder() + "St2.bmp");
    about = kv::TForm1::Create(catalogue, 8, fixture.ProgramFolder(), error);
    QVERIFY(about == nullptr);
    QCOMPARE(error,
             QString::fromStdString("Cannot open file " + fixture.ProgramFolder() + "St2.bmp"));
}

void WindowTest::aboutWindowBelowEightBits() {
    kv::test::TempDir empty;  // no picture file needed
    DesktopFixture fixture;
    kv::Catalogue catalogue(fixture.ProgramFolder(), 1);
    QString error;
    auto about = kv::TForm1::Create(catalogue, 4, empty.Path(), error);
    QVERIFY(about != nullptr);
    QVERIFY(!about->Panel1->isHidden());
    QVERIFY(about->Image1->isHidden());
    QCOMPARE(about->Label2->text(), QString("Kestravo "));
    QCOMPARE(about->Label2->font().pixelSize(), 64);
    QCOMPARE(about->Label1->pos(), about->Label2->pos() + QPoint(-1, 1));
    QCOMPARE(about->Label3->text(), Msg(catalogue, 112));
    QCOMPARE(about->Label4->text(), Msg(catalogue, 272));
    QVERIFY(!about->Image2->pixmap().isNull());
    QVERIFY(!about->Image3->pixmap().isNull());
}

void WindowTest::pathDialog() {
    DesktopFixture fixture;
    kv::Catalogue catalogue(fixture.ProgramFolder(), 1);
    kv::TForm3 dialog(catalogue, 24, nullptr);
    QCOMPARE(dialog.windowTitle(), Msg(catalogue, 172));
    QCOMPARE(dialog.Label1->text(), Msg(catalogue, 173));
    QCOMPARE(dialog.BitBtn1->text(), Msg(catalogue, 2));
    QCOMPARE(dialog.BitBtn2->text(), Msg(catalogue, 1));
    QCOMPARE(dialog.size(), QSize(318, 104));
    QVERIFY(dialog.HasBackground());
    QVERIFY(!kv::TForm3(catalogue, 8, nullptr).HasBackground());

    // Esc does nothing; Enter in the edit box accepts.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.Edit1->setFocus();
    QTest::keyClick(dialog.Edit1, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QTest::keyClicks(dialog.Edit1, "/tmp");
    QTest::keyClick(dialog.Edit1, Qt::Key_Return);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.Edit1->text(), QString("/tmp"));

    kv::TForm3 cancelled(catalogue, 24, nullptr);
    cancelled.show();
    cancelled.BitBtn1->click();
    QCOMPARE(cancelled.result(), int(QDialog::Rejected));
}

void WindowTest::helpOpensTheHelpFile() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    window->Contents1->trigger();
    auto* help = window->findChild<kv::HelpWindow*>("HelpWindow");
    QVERIFY(help != nullptr);
    QVERIFY(help->isVisible());
    const QString text = help->Browser->toPlainText();
    QVERIFY(text.contains("Kestravo"));
    QVERIFY(text.contains("report", Qt::CaseInsensitive));
    // A second request shows the same window.
    window->Contents1->trigger();
    QCOMPARE(window->findChildren<kv::HelpWindow*>().size(), 1);
    help->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    kv::platform::RemoveFile(fixture.ProgramFolder() + "Kestravo.hlp");
    window->Contents1->trigger();
    QCOMPARE(fixture.dialogs.messages.size(), 1);
    QVERIFY(fixture.dialogs.messages.first().startsWith("Cannot open file "));
    fixture.CloseWindow(window);
}

KV_UI_TEST_MAIN(WindowTest)
#include "window_test.moc"
