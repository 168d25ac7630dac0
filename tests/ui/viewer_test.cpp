// The action window on real files, the log viewer in both modes, the widened report window
// and printing of the report.
#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPrinter>
#include <QPushButton>
#include <QTimer>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/files.h"
#include "tests/ui/ui_test_main.h"
#include "tests/ui/ui_test_support.h"
#include "ui/printing.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"
#include "ui/windows/animations.h"
#include "ui/windows/copia.h"
#include "ui/windows/dettagli.h"
#include "ui/windows/file_actions.h"
#include "ui/windows/logviewer.h"

using kv::test::AddScannedLine;
using kv::test::DesktopFixture;
using kv::test::ReadFile;
using kv::test::WriteFile;
namespace kind = kv::kind;

namespace {

std::string RealPath(const std::string& path) {
    return std::filesystem::canonical(path).string();
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Runs one action window over `report` and returns its modal result; the driver requests it
// sends are appended to `requests`.
struct ActionRun {
    int result = 0;
    std::vector<unsigned long> requests;
};

ActionRun RunAction(const kv::Catalogue& catalogue, kv::ReportList& report,
                    kv::Animations& animations, const std::string& program_folder, int action,
                    const std::string& destination = std::string(), bool cancel_at_start = false) {
    ActionRun run;
    kv::Tfcopia window(catalogue, report, animations, program_folder);
    window.ActionToDo = action;
    window.Destination = destination;
    window.NotifyDriver = [&](unsigned long request) {
        run.requests.push_back(request);
        // "Annulla" pressed while the first line is in hand: the click waits in the queue
        // that the work lets run before each line.
        if (request == 1 && cancel_at_start)
            QTimer::singleShot(0, window.BitBtn1, &QPushButton::click);
    };
    run.result = window.exec();
    return run;
}

}  // namespace

class ViewerTest : public QObject {
    Q_OBJECT

private slots:
    void copyMoveRenameDelete();
    void cleanThroughTheCleanerProgram();
    void cancelDuringTheFirstFile();
    void copyNeverDestroysItsSource();
    void logViewerFileMode();
    void widenedWindowFollowsTheReport();
    void printingWrapsAndBreaksPages();
    void destinationFolderDialog();
};

void ViewerTest::copyMoveRenameDelete() {
    DesktopFixture fixture;
    kv::Catalogue catalogue;
    catalogue.SetProgramFolder(fixture.ProgramFolder());
    kv::Animations animations;
    const auto& scratch = fixture.Scratch();
    WriteFile(scratch / "src/a.exe", "first file");
    WriteFile(scratch / "src/b.c", "second file");
    kv::test::MakeFolders(scratch / "dst");
    kv::test::MakeFolders(scratch / "moved");

    kv::ReportList report;
    report.AddReportLine("heading", "", kind::Plain);
    kv::ReportLine* a = AddScannedLine(report, scratch / "src/a.exe", "Test", kind::InfectedFile);
    kv::ReportLine* b = AddScannedLine(report, scratch / "src/b.c", "Test", kind::InfectedArchive);
    report.AddReportLine(scratch / "src/none.exe", "", kind::InfectedMember);  // not a file line

    // Copying twice copies twice, the second time under a free name: the first copy is never
    // replaced. The requests go around the work.
    for (int round = 0; round < 2; ++round) {
        if (round == 1) WriteFile(scratch / "src/a.exe", "changed");
        ActionRun run = RunAction(catalogue, report, animations, fixture.ProgramFolder(),
                                  kv::Tfcopia::Copy, scratch / "dst/");
        QCOMPARE(run.result, kv::Tfcopia::kResultOk);
        QCOMPARE(run.requests, (std::vector<unsigned long>{1, 2}));
        QCOMPARE(ReadFile(scratch / "dst/a.exe"), std::string("first file"));
        QVERIFY(Exists(scratch / "dst/b.c"));
    }
    QCOMPARE(ReadFile(scratch / "dst/a (2).exe"), std::string("changed"));
    QVERIFY(Exists(scratch / "dst/b (2).c"));
    QCOMPARE(a->CopiedTo, scratch / "dst/a (2).exe");
    QVERIFY(a->Kind & kind::Copied);
    QVERIFY(b->Kind & kind::Copied);
    // The animation goes on from one window to the next, and round past 360.
    QVERIFY(animations.NextActionPictureNumber() >= 331 &&
            animations.NextActionPictureNumber() <= 360);

    // A move into the files' own folder is refused: nothing is deleted or marked.
    RunAction(catalogue, report, animations, fixture.ProgramFolder(), kv::Tfcopia::Move,
              scratch / "src/");
    QVERIFY(Exists(scratch / "src/a.exe") && Exists(scratch / "src/b.c"));
    QVERIFY(!(a->Kind & kind::Moved));
    // A real move; a second one skips the lines already moved.
    RunAction(catalogue, report, animations, fixture.ProgramFolder(), kv::Tfcopia::Move,
              scratch / "moved/");
    QVERIFY(!Exists(scratch / "src/a.exe") && Exists(scratch / "moved/a.exe"));
    QVERIFY((a->Kind & kind::Moved) && (b->Kind & kind::Moved));
    WriteFile(scratch / "src/a.exe", "again");
    RunAction(catalogue, report, animations, fixture.ProgramFolder(), kv::Tfcopia::Move,
              scratch / "dst/");
    QCOMPARE(ReadFile(scratch / "src/a.exe"), std::string("again"));

    // Rename: ".exe" gets a 'V' in its first place, ".c" becomes ".VIR"; a second rename
    // changes nothing. A file that already has the new name is never replaced.
    kv::ReportList names;
    WriteFile(scratch / "r/c.exe", "c");
    WriteFile(scratch / "r/d.c", "d");
    WriteFile(scratch / "r/e.doc", "e");
    WriteFile(scratch / "r/e.Voc", "keep me");
    kv::ReportLine* c = AddScannedLine(names, scratch / "r/c.exe", "", kind::InfectedFile);
    kv::ReportLine* d = AddScannedLine(names, scratch / "r/d.c", "", kind::InfectedFile);
    kv::ReportLine* e = AddScannedLine(names, scratch / "r/e.doc", "", kind::MacroVirusDocument);
    for (int round = 0; round < 2; ++round) {
        RunAction(catalogue, names, animations, fixture.ProgramFolder(), kv::Tfcopia::Rename);
        QCOMPARE(c->Text, scratch / "r/c.Vxe");
        QCOMPARE(d->Text, scratch / "r/d.VIR");
        QCOMPARE(e->Text, scratch / "r/e.doc");
    }
    QVERIFY(Exists(scratch / "r/c.Vxe") && Exists(scratch / "r/d.VIR"));
    QCOMPARE(ReadFile(scratch / "r/e.Voc"), std::string("keep me"));
    QCOMPARE(kv::InfectedFileNewName("/x.y/name"), std::string("/x.y/name.VIR"));

    // Delete; a deleted line is skipped by a later clean.
    RunAction(catalogue, names, animations, fixture.ProgramFolder(), kv::Tfcopia::Delete);
    QVERIFY(!Exists(scratch / "r/c.Vxe") && !Exists(scratch / "r/d.VIR"));
    QVERIFY((c->Kind & kind::Deleted) && (d->Kind & kind::Deleted));
    RunAction(catalogue, names, animations, fixture.ProgramFolder(), kv::Tfcopia::Clean);
    QVERIFY(!(c->Kind & (kind::Treated | kind::TreatmentFailed)));
}

void ViewerTest::cleanThroughTheCleanerProgram() {
    DesktopFixture fixture;
    kv::Catalogue catalogue;
    catalogue.SetProgramFolder(fixture.ProgramFolder());
    kv::Animations animations;
    const auto& scratch = fixture.Scratch();
    WriteFile(scratch / "Mixed/Prog.exe", "program");
    kv::ReportList report;
    kv::ReportLine* line =
        AddScannedLine(report, scratch / "Mixed/Prog.exe", "", kind::InfectedFile);

    // No cleaner in the program folder: treatment failed.
    RunAction(catalogue, report, animations, fixture.ProgramFolder(), kv::Tfcopia::Clean);
    QVERIFY(line->Kind & kind::TreatmentFailed);

    // A cleaner that ends with 1 treats the file; it gets the path as it is on disk, and the
    // report line keeps it so.
    const std::string cleaner = fixture.ProgramFolder() + "RTML.EXE";
    WriteFile(cleaner, "#!/bin/sh\nprintf '%s' \"$1\" > \"$PWD/argument\"\nexit 1\n");
    ::chmod(cleaner.c_str(), 0755);
    RunAction(catalogue, report, animations, fixture.ProgramFolder(), kv::Tfcopia::Clean);
    QVERIFY(line->Kind & kind::Treated);
    QVERIFY(!(line->Kind & kind::TreatmentFailed));
    QCOMPARE(ReadFile(fixture.ProgramFolder() + "argument"), RealPath(scratch / "Mixed/Prog.exe"));
    QCOMPARE(line->Text, scratch / "Mixed/Prog.exe");

    // Another exit code, then a cleaner that never ends: failed, after 5 seconds at most.
    WriteFile(cleaner, "#!/bin/sh\nexit 0\n");
    RunAction(catalogue, report, animations, fixture.ProgramFolder(), kv::Tfcopia::Clean);
    QVERIFY(line->Kind & kind::TreatmentFailed);
    WriteFile(cleaner, "#!/bin/sh\nexec sleep 60\n");
    QElapsedTimer clock;
    clock.start();
    line->Kind = kind::InfectedFile;
    RunAction(catalogue, report, animations, fixture.ProgramFolder(), kv::Tfcopia::Clean);
    QVERIFY(line->Kind & kind::TreatmentFailed);
    QVERIFY(clock.elapsed() < 8000);
}

void ViewerTest::cancelDuringTheFirstFile() {
    DesktopFixture fixture;
    kv::Catalogue catalogue;
    catalogue.SetProgramFolder(fixture.ProgramFolder());
    kv::Animations animations;
    const auto& scratch = fixture.Scratch();
    kv::ReportList report;
    for (const char* name : {"one.exe", "two.exe", "three.exe"}) {
        WriteFile(scratch / name, name);
        AddScannedLine(report, scratch / name, "", kind::InfectedFile);
    }
    ActionRun run = RunAction(catalogue, report, animations, fixture.ProgramFolder(),
                              kv::Tfcopia::Delete, std::string(), true);
    QCOMPARE(run.result, kv::Tfcopia::kResultCancel);
    QCOMPARE(run.requests, (std::vector<unsigned long>{1, 2}));
    // The line in hand is finished; the others stay as they are.
    QVERIFY(!Exists(scratch / "one.exe"));
    QVERIFY(Exists(scratch / "two.exe") && Exists(scratch / "three.exe"));
    QVERIFY(!(report.Line(1)->Kind & kind::Deleted));

    // A report without infected lines still sends both requests and ends with OK.
    kv::ReportList plain;
    plain.AddReportLine("text", "", kind::Plain);
    run = RunAction(catalogue, plain, animations, fixture.ProgramFolder(), kv::Tfcopia::Delete);
    QCOMPARE(run.result, kv::Tfcopia::kResultOk);
    QCOMPARE(run.requests, (std::vector<unsigned long>{1, 2}));
}

void ViewerTest::copyNeverDestroysItsSource() {
    kv::test::TempDir dir;
    WriteFile(dir / "src/a.exe", "precious");
    kv::ReportList report;
    const kv::platform::ScannedFile source =
        *AddScannedLine(report, dir / "src/a.exe", "", kind::InfectedFile)->File;
    std::string name;
    // The file's own folder is refused; a folder reached through a link is never written to;
    // a hard link of the source at the target's name is passed over for a free name. Each
    // time the source stays whole.
    QCOMPARE(kv::CopyScannedFile(source, dir / "src/", name), kv::ActionResult::kSameFolder);
    std::filesystem::create_directory_symlink(dir / "src", dir / "link");
    QCOMPARE(kv::CopyScannedFile(source, dir / "link/", name), kv::ActionResult::kFailed);
    kv::test::MakeFolders(dir / "hard");
    QVERIFY(::link((dir / "src/a.exe").c_str(), (dir / "hard/a.exe").c_str()) == 0);
    QCOMPARE(kv::CopyScannedFile(source, dir / "hard/", name), kv::ActionResult::kDone);
    QCOMPARE(name, std::string("a (2).exe"));
    QCOMPARE(ReadFile(dir / "src/a.exe"), std::string("precious"));
    kv::platform::ScannedFile missing = source;
    missing.name = "missing.exe";
    QCOMPARE(kv::CopyScannedFile(missing, dir / "hard/", name),
             kv::ActionResult::kNotTheScannedFile);

    // A copy cut short by a failing write is no copy: no partial target, and a move then
    // keeps its source and says nothing moved.
    const std::string big(3 * kv::kCopyBlockSize + 5, 'x');
    WriteFile(dir / "src/big.exe", big);
    const kv::platform::ScannedFile big_file =
        *AddScannedLine(report, dir / "src/big.exe", "", kind::InfectedFile)->File;
    kv::test::MakeFolders(dir / "out");
    struct rlimit saved;
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    struct sigaction ignore = {}, old_action = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old_action);
    struct rlimit small = saved;
    small.rlim_cur = kv::kCopyBlockSize + 100;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const kv::ActionResult copied = kv::CopyScannedFile(big_file, dir / "out/", name);
    const kv::ActionResult moved = kv::MoveScannedFile(big_file, dir / "out/", name);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old_action, nullptr);
    QCOMPARE(copied, kv::ActionResult::kFailed);
    QCOMPARE(moved, kv::ActionResult::kFailed);
    QVERIFY(std::filesystem::is_empty(dir / "out"));
    QCOMPARE(ReadFile(dir / "src/big.exe"), big);
    // Without the limit the same copy is whole.
    QCOMPARE(kv::CopyScannedFile(big_file, dir / "out/", name), kv::ActionResult::kDone);
    QCOMPARE(ReadFile(dir / "out/big.exe"), big);
}

void ViewerTest::logViewerFileMode() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    const auto& scratch = fixture.Scratch();
    WriteFile(scratch / "empty.log", "");
    WriteFile(scratch / "two.log", "first\r\nsecond\nthird\r");

    QVERIFY(window->VisualizzaLogfile1->isEnabled());
    fixture.dialogs.fileAnswers.push_back(QString::fromStdString(scratch / "empty.log"));
    window->VisualizzaLogfile1->trigger();
    fixture.dialogs.fileAnswers.push_back(QString::fromStdString(scratch / "two.log"));
    window->VisualizzaLogfile1->trigger();
    QCOMPARE(fixture.dialogs.logStarts.first(), QString::fromStdString(window->LogFileName()));
    std::vector<kv::TForm4*> viewers = window->OpenViewers();
    QCOMPARE(viewers.size(), std::size_t(2));
    QCOMPARE(window->WindowAnimations().OpenViewers(), 2);
    QVERIFY(window->WindowAnimations().GlobeLoaded());

    // A log of no lines shows one blank row; the other shows its lines and the blank.
    kv::TForm4* empty = viewers[0];
    kv::TForm4* two = viewers[1];
    QVERIFY(empty->FileMode() && two->FileMode());
    QCOMPARE(empty->ReportBox->count(), 1);
    QCOMPARE(empty->ReportBox->item(0)->text(), QString(" "));
    QCOMPARE(two->ReportBox->count(), 4);
    QCOMPARE(two->ReportBox->item(2)->text(), QString("third"));
    QVERIFY(two->ComboBox1->isHidden());
    QCOMPARE(two->ReportBox->Tag(), 1);

    // Neither follows the report as a scan writes to it.
    window->Report().AddReportLine("new line", "", kind::Plain);
    empty->Timer1Timer();
    two->Timer1Timer();
    QCOMPARE(empty->ReportBox->count(), 1);
    QCOMPARE(two->ReportBox->count(), 4);
    // Closing one leaves the other as it was; the last one frees the globe.
    empty->close();
    QCOMPARE(two->ReportBox->count(), 4);
    QVERIFY(window->WindowAnimations().GlobeLoaded());
    two->close();
    QCOMPARE(window->WindowAnimations().OpenViewers(), 0);
    QVERIFY(!window->WindowAnimations().GlobeLoaded());

    // A file that cannot be read opens nothing and says so.
    fixture.dialogs.fileAnswers.push_back(QString::fromStdString(scratch / "missing.log"));
    window->VisualizzaLogfile1->trigger();
    QCOMPARE(fixture.dialogs.messages.last(),
             QString("Cannot open file %1").arg(QString::fromStdString(scratch / "missing.log")));
    QCOMPARE(window->WindowAnimations().OpenViewers(), 0);
    fixture.CloseWindow(window);
}

void ViewerTest::widenedWindowFollowsTheReport() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    const auto& scratch = fixture.Scratch();
    QVERIFY(window->Allargafinestra1->isEnabled());
    window->Allargafinestra1->trigger();
    kv::TForm4* widened = window->WidenedWindow();
    QVERIFY(widened != nullptr);
    QVERIFY(!widened->FileMode());
    QVERIFY(!window->Allargafinestra1->isEnabled());
    QCOMPARE(widened->windowTitle(), QString::fromStdString(window->Messages().Text(174)));
    QCOMPARE(widened->ComboBox1->count(), 5);
    QCOMPARE(widened->ComboBox1->itemText(1), QString::fromStdString(window->Messages().Text(177)));
    window->Allargafinestra1->trigger();  // disabled: still one window
    QCOMPARE(window->OpenViewers().size(), std::size_t(1));

    // 150 lines between two ticks are added under the hourglass; a cleared report empties
    // the window at the next tick.
    for (int i = 0; i < 150; ++i) window->Report().AddReportLine("line", "", kind::Plain);
    widened->Timer1Timer();
    QCOMPARE(widened->ReportBox->count(), 150);
    QCOMPARE(widened->HourglassShown(), 1);
    window->Report().ClearReportLines();
    widened->Timer1Timer();
    QCOMPARE(widened->ReportBox->count(), 0);
    QCOMPARE(widened->MirroredRows(), 0);

    // Actions: copy asks for a folder (cancelled: nothing happens), delete goes straight to
    // the action window; afterwards the list shows no choice.
    WriteFile(scratch / "v.exe", "virus");
    kv::ReportLine* line =
        AddScannedLine(window->Report(), scratch / "v.exe", "Test", kind::InfectedFile);
    widened->Timer1Timer();
    QCOMPARE(widened->ReportBox->count(), 1);
    widened->ComboBox1->setCurrentIndex(0);
    widened->ComboBox1Change(0);
    QCOMPARE(fixture.dialogs.folderCaptions,
             QStringList{QString::fromStdString(window->Messages().Text(176))});
    QVERIFY(!(line->Kind & kind::Copied));
    QCOMPARE(widened->ComboBox1->currentIndex(), -1);
    fixture.dialogs.folderAnswers.push_back(QString::fromStdString(scratch / "out"));
    kv::test::MakeFolders(scratch / "out");
    widened->ComboBox1Change(0);
    QVERIFY(line->Kind & kind::Copied);
    QCOMPARE(ReadFile(scratch / "out/v.exe"), std::string("virus"));
    widened->ComboBox1Change(2);
    QCOMPARE(fixture.dialogs.folderCaptions.size(), 2);
    QVERIFY(line->Kind & kind::Deleted);
    QVERIFY(!Exists(scratch / "v.exe"));
    QCOMPARE(widened->ComboBox1->currentIndex(), -1);
    QCOMPARE(window->ScanEngine().Options.ScanRunning, 0);

    // Closing gives the menu item back.
    widened->close();
    QVERIFY(window->Allargafinestra1->isEnabled());
    QVERIFY(window->WidenedWindow() == nullptr);
    // Ctrl+G at once opens a new one, even before the closed one is deleted.
    window->Allargafinestra1->trigger();
    QVERIFY(window->WidenedWindow() != nullptr && window->WidenedWindow() != widened);
    QCOMPARE(window->OpenViewers().size(), std::size_t(1));
    fixture.CloseWindow(window);
}

void ViewerTest::printingWrapsAndBreaksPages() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow();
    const auto& scratch = fixture.Scratch();
    QVERIFY(window->Stampa1->isEnabled());

    // Cancel prints nothing; an empty report prints the title line only.
    window->Stampa1->trigger();
    QCOMPARE(fixture.dialogs.printDialogs, 1);
    fixture.dialogs.pdfFile = QString::fromStdString(scratch / "empty.pdf");
    window->Stampa1->trigger();
    QVERIFY(window->LastPrint().ok);
    QCOMPARE(window->LastPrint().lines, 1);
    QCOMPARE(window->LastPrint().pages, 1);
    QVERIFY(Exists(scratch / "empty.pdf"));

    // A line far wider than the page goes on over several printed lines; a long report
    // takes several pages.
    const std::string wide(600, 'W');
    window->Report().AddReportLine("short", "", kind::Plain);
    window->Report().AddReportLine(wide, "", kind::Plain);
    fixture.dialogs.pdfFile = QString::fromStdString(scratch / "wide.pdf");
    window->Stampa1->trigger();
    QVERIFY(window->LastPrint().ok);
    QVERIFY(window->LastPrint().lines >= 1 + 1 + 3);
    const int wide_lines = window->LastPrint().lines - 2;

    for (int i = 0; i < 200; ++i) window->Report().AddReportLine("row", "", kind::Plain);
    fixture.dialogs.pdfFile = QString::fromStdString(scratch / "long.pdf");
    window->Stampa1->trigger();
    QVERIFY(window->LastPrint().ok);
    QCOMPARE(window->LastPrint().lines, 1 + 1 + wide_lines + 200);
    QVERIFY(window->LastPrint().pages >= 2);

    // The device's own rule: the cut parts make the whole line again.
    QPrinter printer;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(scratch / "device.pdf"));
    kv::PrinterTextDevice device(printer);
    QVERIFY(device.Open(kv::ReportPrintFont()));
    QVERIFY(device.WriteLine(QString()));
    QVERIFY(device.WriteLine(QString::fromStdString(wide)));
    QCOMPARE(device.PrintedLines(), 1 + wide_lines);
    QVERIFY(device.Close());
    fixture.CloseWindow(window);
}

void ViewerTest::destinationFolderDialog() {
    DesktopFixture fixture;
    kv::Catalogue catalogue;
    catalogue.SetProgramFolder(fixture.ProgramFolder());
    const std::string folder = fixture.Scratch() / "target";
    kv::test::MakeFolders(folder);

    // OK gives the folder selected in the tree, as a full path.
    {
        kv::TFormDettagli dialog(catalogue);
        QCOMPARE(dialog.Label1->text(), QString::fromStdString(catalogue.Text(181)));
        QVERIFY(dialog.DirectoryListBox1->SetDirectory(QString::fromStdString(folder)));
        QTimer::singleShot(0, dialog.BitBtn2, &QPushButton::click);
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(dialog.SelectedFolder(), QString::fromStdString(folder));
    }
    // Esc cancels wherever the focus is, the folder tree included.
    {
        kv::TFormDettagli dialog(catalogue);
        QTimer::singleShot(0, dialog.DirectoryListBox1, [&dialog] {
            QTest::keyClick(dialog.DirectoryListBox1, Qt::Key_Escape);
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    }
}

KV_UI_TEST_MAIN(ViewerTest)
#include "viewer_test.moc"
