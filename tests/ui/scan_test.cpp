// The scan command and the scan request, end to end on temporary trees: the report blocks,
// the engine's findings, the log file, the question after infections, requests that arrive
// during a scan, stopping and closing during a scan.
#include <QAction>
#include <QCoreApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "platform/files.h"
#include "tests/ui/ui_test_main.h"
#include "tests/ui/ui_test_support.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"

using kv::test::DesktopFixture;
using kv::test::ReadFile;
using kv::test::ReportLines;
using kv::test::WriteFile;

namespace {

QString Msg(kv::MainWindow& window, int number) {
    return QString::fromStdString(window.Messages().Text(static_cast<std::uint16_t>(number)));
}

QString Value(kv::MainWindow& window, int label, int value) {
    return Msg(window, label) + " " + QString::number(value);
}

// Index of the first line equal to `text` at or after `from`, or -1.
int Find(const QStringList& lines, const QString& text, int from = 0) {
    return lines.indexOf(text, from);
}

int CountOf(const QStringList& lines, const QString& text) {
    return static_cast<int>(lines.count(text));
}

// A folder with `count` program files, each `size` bytes of harmless content.
std::string MakeCleanFolder(const kv::test::TempDir& base, const std::string& name, int count,
                            std::size_t size = 64) {
    for (int i = 0; i < count; ++i)
        WriteFile(base / (name + "/file" + std::to_string(i) + ".exe"), std::string(size, 'A'));
    return base / (name + "/");
}

void SetResources(kv::MainWindow& window, const std::vector<std::string>& entries) {
    window.imgLBox2->clear();
    for (const std::string& entry : entries)
        window.imgLBox2->addItem(QString::fromStdString(entry));
}

void SetDownloads(kv::MainWindow& window, const std::vector<std::string>& entries) {
    window.imgLBox3->clear();
    for (const std::string& entry : entries)
        window.imgLBox3->addItem(QString::fromStdString(entry));
}

// Posts a scan request and lets it run.
void Request(kv::MainWindow& window, int wparam, QListWidget* list) {
    QCoreApplication::postEvent(&window, new kv::ScanRequestEvent(wparam, list));
    QCoreApplication::sendPostedEvents(&window, kv::kScanRequestEvent);
}

}  // namespace

class ScanTest : public QObject {
    Q_OBJECT

private slots:
    void scanCommandEndToEnd();
    void emptyResourceList();
    void totalsBlockAndDoubleClick();
    void scanRequests();
    void sixthRequestRecyclesTheReport();
    void requestDuringAScanWaitsForIt();
    void stopDuringTheSecondOfThree();
    void closingIsRefusedDuringAScan();
    void requestScansASingleFileEntry();
    void unloadableDatabaseIsReported();
    void questionAfterARequestShowsTheWindow();
};

void ScanTest::scanCommandEndToEnd() {
    DesktopFixture fixture;
    const kv::test::TempDir& scratch = fixture.Scratch();
    WriteFile(scratch / "tree/eicar.com", kv::test::EicarString());
    WriteFile(scratch / "tree/sub/clean.exe", std::string(300, 'x'));
    WriteFile(scratch / "tree/readme.txt", "not selected");
    WriteFile(scratch / "tree/.hidden.exe", "skipped");
    const std::string root = scratch / "tree/";
    const std::string log = scratch / "scan.log";

    auto window = fixture.MakeWindow();
    SetResources(*window, {root});
    window->SalvaReport1->trigger();  // off
    fixture.dialogs.fileAnswers.push_back(QString::fromStdString(log));
    window->SalvaReport1->trigger();  // on, with the test's log file
    fixture.dialogs.questionAnswers.push_back(true);
    window->Status2->setText("12.00.00 - 01/01/2020");
    QSignalSpy progress(window.get(), &kv::MainWindow::ProgressCaptionChanged);

    window->SpeedButton1Click(window->SpeedButton1);

    const QStringList lines = ReportLines(*window);
    // The banner: six lines, the fourth with message 188 and the clock text, each carrying a
    // row of the banner picture at 4 with its text at 122.
    QCOMPARE(lines.mid(0, 6),
             (QStringList{"", "", "", Msg(*window, 188) + " 12.00.00 - 01/01/2020", "", ""}));
    for (int row = 0; row < 6; ++row) {
        const kv::ReportPicture* picture = window->Report().Line(row)->Picture.get();
        QVERIFY(picture != nullptr);
        QCOMPARE(picture->Row, row);
        QCOMPARE(picture->PictureX, 4);
        QCOMPARE(picture->TextX, 122);
        QCOMPARE(kv::PixmapOfHandle(picture->Bitmap), &window->LoadedPictures().Banner);
    }
    // The heading.
    QCOMPARE(lines.mid(6, 3),
             (QStringList{"", Msg(*window, 189) + " " + QString::fromStdString(root), ""}));
    // The summary: three files found (the hidden one is skipped), two selected by extension.
    const int summary = Find(lines, Value(*window, 191, 3));
    QVERIFY(summary > 0);
    QCOMPARE(lines[summary - 1], QString());
    QCOMPARE(lines.mid(summary + 1, 4), (QStringList{Value(*window, 192, 2), Value(*window, 193, 0),
                                                     Value(*window, 194, 1), ""}));
    const kv::ReportLine* found = window->Report().Line(static_cast<std::size_t>(summary));
    QCOMPARE(found->Kind, kv::kind::SummaryValue);
    QCOMPARE(kv::PixmapOfHandle(found->Picture->Bitmap), &window->LoadedPictures().SummaryInfected);
    QCOMPARE(found->Picture->PictureX, 168);
    QCOMPARE(found->Picture->TextX, 16);
    QVERIFY(window->Report().Line(static_cast<std::size_t>(summary) + 3)->Picture == nullptr);
    // One resource: no totals block; the summary ends the report.
    QCOMPARE(summary + 5, lines.size());
    QCOMPARE(CountOf(lines, Msg(*window, 195)), 0);

    // The engine's line for the test file.
    if (kv::test::ShippedDatabaseAvailable()) {
        const QString infected =
            QString::fromStdString(root + "eicar.com") + " " + Msg(*window, 190) + " ";
        bool seen = false;
        for (const QString& line : lines) seen = seen || line.startsWith(infected);
        QVERIFY2(seen, qPrintable(lines.join('\n')));
        QCOMPARE(window->ScanTotals()[kv::ScanCounters::VirusesFound], 1);
        // The question, with its caption and text.
        QCOMPARE(fixture.dialogs.questions,
                 QStringList{Msg(*window, 198) + "|" + Msg(*window, 223)});
    }
    QVERIFY(progress.count() >= 2);

    // The log file holds the report, byte for byte.
    QCOMPARE(ReadFile(log), window->Report().LogText());
    // Idle again.
    QVERIFY(!window->ScanInProgress());
    QCOMPARE(window->SpeedButton2->text(), Msg(*window, 138));
    QVERIFY(!window->StopScansione1->isEnabled());
    QVERIFY(window->ConnectBTN->isEnabled());
    QVERIFY(window->Timer1->isActive());
    QCOMPARE(window->TabSet1->currentIndex(), 1);
    QVERIFY(!window->Status2->text().isEmpty());
    QVERIFY(window->Status2->text() != "12.00.00 - 01/01/2020");
    fixture.CloseWindow(window);
}

void ScanTest::emptyResourceList() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    SetResources(*window, {});
    window->SpeedButton1Click();
    const QStringList lines = ReportLines(*window);
    QCOMPARE(lines.size(), 8);
    QCOMPARE(lines.mid(6), (QStringList{"", "Nessuna risorsa selezionata!"}));
    // The log switch still saves the short report.
    QCOMPARE(ReadFile(window->LogFileName()), window->Report().LogText());
    QVERIFY(fixture.dialogs.questions.isEmpty());
    fixture.CloseWindow(window);
}

void ScanTest::totalsBlockAndDoubleClick() {
    DesktopFixture fixture;
    const std::string a = MakeCleanFolder(fixture.Scratch(), "a", 2);
    const std::string b = MakeCleanFolder(fixture.Scratch(), "b", 3);
    const std::string c = MakeCleanFolder(fixture.Scratch(), "c", 4);
    auto window = fixture.MakeWindow();

    SetResources(*window, {a, b});
    window->SpeedButton1Click();
    QStringList lines = ReportLines(*window);
    int totals = Find(lines, Msg(*window, 195));
    QVERIFY(totals > 0);
    QCOMPARE(lines.mid(totals + 1, 5),
             (QStringList{Value(*window, 191, 5), Value(*window, 192, 5), Value(*window, 193, 0),
                          Value(*window, 209, 0), ""}));
    QCOMPARE(totals + 6, lines.size());
    // A clean resource carries the no-infection picture.
    const kv::ReportLine* found =
        window->Report().Line(static_cast<std::size_t>(Find(lines, Value(*window, 191, 2))));
    QCOMPARE(kv::PixmapOfHandle(found->Picture->Bitmap), &window->LoadedPictures().SummaryClean);
    QVERIFY(fixture.dialogs.questions.isEmpty());

    // A double-click scans the entry under the cursor only, yet writes the totals block.
    SetResources(*window, {a, b, c});
    window->imgLBox2->setCurrentRow(1);
    window->imgLBox2DblClick();
    lines = ReportLines(*window);
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(b)), 1);
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(a)), 0);
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(c)), 0);
    totals = Find(lines, Msg(*window, 195));
    QVERIFY(totals > 0);
    QCOMPARE(lines.mid(totals + 1, 4),
             (QStringList{Value(*window, 191, 3), Value(*window, 192, 3), Value(*window, 193, 0),
                          Value(*window, 209, 0)}));
    fixture.CloseWindow(window);
}

void ScanTest::scanRequests() {
    DesktopFixture fixture;
    const std::string a = MakeCleanFolder(fixture.Scratch(), "a", 1);
    const std::string b = MakeCleanFolder(fixture.Scratch(), "b", 1);
    const std::string c = MakeCleanFolder(fixture.Scratch(), "c", 1);
    // A subfolder is scanned whatever the subfolder option says.
    WriteFile(fixture.Scratch() / "b/deep/inner.com", "x");
    auto window = fixture.MakeWindow();
    window->Controllasottocartelle1->setChecked(false);

    // Two download folders, one written without its trailing '/'.
    std::string b_plain = b.substr(0, b.size() - 1);
    SetDownloads(*window, {a, b_plain});
    Request(*window, -1, window->imgLBox3);
    QStringList lines = ReportLines(*window);
    QCOMPARE(window->ScanRequestCount(), 1);
    QCOMPARE(lines[4], Msg(*window, 148));
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(a)), 1);
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(b)), 1);
    QCOMPARE(CountOf(lines, Msg(*window, 195)), 0);
    QCOMPARE(CountOf(lines, Value(*window, 191, 2)), 1);  // b with its subfolder
    // A request writes no log and leaves the status panel empty.
    QVERIFY(!kv::platform::FileExists(window->LogFileName()));
    QCOMPARE(window->Status2->text(), QString());
    QCOMPARE(window->SpeedButton2->text(), Msg(*window, 138));

    // All three entries of a list: the totals block. The report grows behind the last one.
    const QStringList first = lines;
    const int before = static_cast<int>(lines.size());
    SetDownloads(*window, {a, b, c});
    Request(*window, -1, window->imgLBox3);
    lines = ReportLines(*window);
    QCOMPARE(lines.mid(0, before), first);
    QCOMPARE(lines[before + 4], Msg(*window, 148));
    QCOMPARE(CountOf(lines, Msg(*window, 195)), 1);

    // One entry by its index; an empty list.
    Request(*window, 2, window->imgLBox3);
    lines = ReportLines(*window);
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(c)), 2);
    SetDownloads(*window, {});
    Request(*window, -1, window->imgLBox3);
    lines = ReportLines(*window);
    QCOMPARE(lines.mid(lines.size() - 2), (QStringList{"", Msg(*window, 211)}));
    QCOMPARE(window->ScanRequestCount(), 4);
    fixture.CloseWindow(window);
}

void ScanTest::sixthRequestRecyclesTheReport() {
    DesktopFixture fixture;
    const std::string a = MakeCleanFolder(fixture.Scratch(), "a", 1);
    auto window = fixture.MakeWindow();
    SetDownloads(*window, {a});
    for (int i = 0; i < 5; ++i) Request(*window, 0, window->imgLBox3);
    QCOMPARE(CountOf(ReportLines(*window), Msg(*window, 148)), 5);
    const std::string five = window->Report().LogText();
    QVERIFY(!kv::platform::FileExists(window->LogFileName()));

    Request(*window, 0, window->imgLBox3);
    // The old report went to the end of the log, and a fresh one began.
    QCOMPARE(ReadFile(window->LogFileName()), five);
    QStringList lines = ReportLines(*window);
    QCOMPARE(CountOf(lines, Msg(*window, 148)), 1);
    QCOMPARE(lines[4], Msg(*window, 148));
    QCOMPARE(window->Memo1->count(), lines.size());

    const std::string six = window->Report().LogText();
    Request(*window, 0, window->imgLBox3);
    QCOMPARE(ReadFile(window->LogFileName()), five + six);
    QCOMPARE(CountOf(ReportLines(*window), Msg(*window, 148)), 1);
    fixture.CloseWindow(window);
}

void ScanTest::requestDuringAScanWaitsForIt() {
    DesktopFixture fixture;
    const std::string a = MakeCleanFolder(fixture.Scratch(), "a", 20);
    const std::string d = MakeCleanFolder(fixture.Scratch(), "d", 1);
    auto window = fixture.MakeWindow();
    SetResources(*window, {a});
    SetDownloads(*window, {d});
    std::size_t pending_seen = 0;
    connect(window.get(), &kv::MainWindow::ProgressCaptionChanged, this,
            [&] { pending_seen = std::max(pending_seen, window->PendingScanRequests()); });
    // The request is posted before the scan starts and is delivered while the walk lets
    // events run.
    QCoreApplication::postEvent(window.get(), new kv::ScanRequestEvent(-1, window->imgLBox3));
    window->SpeedButton1Click();
    QCOMPARE(pending_seen, std::size_t(1));
    QStringList lines = ReportLines(*window);
    QCOMPARE(CountOf(lines, Msg(*window, 148)), 0);  // not nested inside the command
    QCOMPARE(window->ScanRequestCount(), 0);

    // It runs once the command has ended, behind the command's report.
    QVERIFY(kv::test::WaitFor([&] { return window->ScanRequestCount() == 1; }));
    lines = ReportLines(*window);
    const int request_banner = Find(lines, Msg(*window, 148));
    const int command_summary = Find(lines, Value(*window, 191, 20));
    QVERIFY(command_summary > 0);
    QVERIFY(request_banner > command_summary);
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(d)), 1);
    QCOMPARE(window->PendingScanRequests(), std::size_t(0));

    // While the about window is open nothing scans either; the request runs after it.
    fixture.dialogs.duringAbout = [&] {
        Request(*window, -1, window->imgLBox3);
        QCOMPARE(window->PendingScanRequests(), std::size_t(1));
    };
    window->About1Click();
    QCOMPARE(window->ScanEngine().Options.ScanRunning, std::uint8_t(0));
    QVERIFY(kv::test::WaitFor([&] { return window->ScanRequestCount() == 2; }));
    fixture.CloseWindow(window);
}

void ScanTest::stopDuringTheSecondOfThree() {
    DesktopFixture fixture;
    const std::string a = MakeCleanFolder(fixture.Scratch(), "a", 3);
    const std::string b = MakeCleanFolder(fixture.Scratch(), "b", 6);
    const std::string c = MakeCleanFolder(fixture.Scratch(), "c", 3);
    auto window = fixture.MakeWindow();
    SetResources(*window, {a, b, c});
    bool stopped = false;
    connect(window.get(), &kv::MainWindow::ProgressCaptionChanged, this,
            [&](const QString& caption) {
                if (!stopped && caption.startsWith(QString::fromStdString(b))) {
                    stopped = true;
                    window->SpeedButton2->click();  // "Stop"
                }
            });
    window->SpeedButton1Click();
    QVERIFY(stopped);
    const QStringList lines = ReportLines(*window);
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(a)), 1);
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(b)), 1);
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(c)), 0);
    // The interrupted resource has its summary (it stopped after one file), then the totals.
    QCOMPARE(CountOf(lines, Value(*window, 191, 3)), 1);
    QCOMPARE(CountOf(lines, Value(*window, 191, 1)), 1);
    const int totals = Find(lines, Msg(*window, 195));
    QVERIFY(totals > 0);
    QCOMPARE(lines[totals + 1], Value(*window, 191, 4));
    // The window is still open and idle; a new scan runs all three.
    QVERIFY(!window->ScanInProgress());
    window->SpeedButton1Click();
    QCOMPARE(CountOf(ReportLines(*window), Msg(*window, 189) + " " + QString::fromStdString(c)), 1);
    fixture.CloseWindow(window);
}

void ScanTest::closingIsRefusedDuringAScan() {
    DesktopFixture fixture;
    const std::string a = MakeCleanFolder(fixture.Scratch(), "a", 5);
    const std::string b = MakeCleanFolder(fixture.Scratch(), "b", 5);
    auto window = fixture.MakeWindow();
    window->show();
    SetResources(*window, {a, b});
    QSignalSpy closed(window.get(), &kv::MainWindow::Closed);
    bool refused = false;
    connect(window.get(), &kv::MainWindow::ProgressCaptionChanged, this, [&] {
        if (refused) return;
        refused = !window->close();
    });
    window->SpeedButton1Click();
    QVERIFY(refused);
    QCOMPARE(closed.count(), 0);
    QVERIFY(window->isVisible());
    // The close asked the scan to stop: the second resource was never scanned.
    QCOMPARE(CountOf(ReportLines(*window), Msg(*window, 189) + " " + QString::fromStdString(b)), 0);
    QVERIFY(!kv::platform::FileExists(fixture.ProgramFolder() + "List.cfg"));
    // After the scan the window closes.
    QVERIFY(window->close());
    QCOMPARE(closed.count(), 1);
    QVERIFY(kv::platform::FileExists(fixture.ProgramFolder() + "List.cfg"));
    window.reset();
}

void ScanTest::requestScansASingleFileEntry() {
    DesktopFixture fixture;
    const std::string file = fixture.Scratch() / "single.com";
    WriteFile(file, kv::test::EicarString());
    auto window = fixture.MakeWindow();
    SetResources(*window, {file});
    fixture.dialogs.questionAnswers.push_back(false);
    Request(*window, -1, window->imgLBox2);
    const QStringList lines = ReportLines(*window);
    // The entry is scanned as the file it is, not as a folder of that name.
    QCOMPARE(CountOf(lines, Msg(*window, 189) + " " + QString::fromStdString(file)), 1);
    QCOMPARE(CountOf(lines, Value(*window, 191, 1)), 1);
    QCOMPARE(CountOf(lines, Value(*window, 192, 1)), 1);
    if (kv::test::ShippedDatabaseAvailable()) QCOMPARE(CountOf(lines, Value(*window, 194, 1)), 1);
    fixture.CloseWindow(window);
}

void ScanTest::unloadableDatabaseIsReported() {
    DesktopFixture fixture;
    const std::string a = MakeCleanFolder(fixture.Scratch(), "a", 2);
    for (const char* name : {"Matrix.DLL", "Virus.seq", "tbl02.dir", "tbl02", "tbl02.nam"})
        kv::platform::RemoveFile(fixture.ProgramFolder() + name);
    auto window = fixture.MakeWindow();
    SetResources(*window, {a});
    window->SpeedButton1Click();
    const QStringList lines = ReportLines(*window);
    const int heading = Find(lines, Msg(*window, 189) + " " + QString::fromStdString(a));
    QVERIFY(heading > 0);
    // Right after the heading: the notice with the loader's negative code, then a summary of
    // nothing scanned.
    const QString notice = lines[heading + 2];
    QVERIFY2(notice.startsWith(Msg(*window, 279) + " -"), qPrintable(notice));
    bool ok = false;
    QVERIFY(notice.mid(Msg(*window, 279).size() + 1).toInt(&ok) < 0 && ok);
    QCOMPARE(lines[heading + 4], Value(*window, 191, 0));
    QVERIFY(!Msg(*window, 279).isEmpty());
    fixture.CloseWindow(window);
}

void ScanTest::questionAfterARequestShowsTheWindow() {
    if (!kv::test::ShippedDatabaseAvailable()) QSKIP("the build has no signature database");
    DesktopFixture fixture;
    WriteFile(fixture.Scratch() / "in/eicar.com", kv::test::EicarString());
    auto window = fixture.MakeWindow();
    SetDownloads(*window, {fixture.Scratch() / "in"});
    window->show();
    window->TabSet1->setCurrentIndex(0);
    window->hide();
    fixture.dialogs.questionAnswers.push_back(true);
    Request(*window, 0, window->imgLBox3);
    QCOMPARE(fixture.dialogs.questions.size(), 1);
    QVERIFY(window->isVisible());
    QCOMPARE(window->TabSet1->currentIndex(), 1);
    QCOMPARE(window->ScanTotals()[kv::ScanCounters::VirusesFound], 1);
    // OK opened the widened report window; a second question brings the same one forward.
    kv::TForm4* widened = window->WidenedWindow();
    QVERIFY(widened != nullptr && widened->isVisible());
    QVERIFY(!window->Allargafinestra1->isEnabled());
    fixture.dialogs.questionAnswers.push_back(true);
    Request(*window, 0, window->imgLBox3);
    QCOMPARE(fixture.dialogs.questions.size(), 2);
    QCOMPARE(window->WidenedWindow(), widened);
    QCOMPARE(window->OpenViewers().size(), std::size_t(1));
    fixture.CloseWindow(window);
}

KV_UI_TEST_MAIN(ScanTest)
#include "scan_test.moc"
