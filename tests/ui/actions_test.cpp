// Attacks on the action window: report lines whose text is no path, files and folders swapped
// for links between the scan and the action, destinations that already hold the name, the
// copy's permission bits, multi-byte extensions, and names that would forge report lines.
#include <QPushButton>
#include <QTimer>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "catalogue/catalogue.h"
#include "engine/engine.h"
#include "platform/files.h"
#include "tests/containers/compound_builder.h"
#include "tests/ui/ui_test_main.h"
#include "tests/ui/ui_test_support.h"
#include "ui/windows/animations.h"
#include "ui/windows/copia.h"
#include "ui/windows/dettagli.h"
#include "ui/windows/file_actions.h"

using kv::test::AddScannedLine;
using kv::test::DesktopFixture;
using kv::test::MakeFolders;
using kv::test::ReadFile;
using kv::test::WriteFile;
namespace fs = std::filesystem;
namespace kind = kv::kind;

namespace {

constexpr std::uint32_t kOutcomeBits =
    kind::Copied | kind::Moved | kind::Deleted | kind::Treated | kind::TreatmentFailed;

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void Symlink(const std::string& target, const std::string& link) {
    if (::symlink(target.c_str(), link.c_str()) != 0) throw std::runtime_error("symlink " + link);
}

// A desktop fixture with a catalogue, the animations and a cleaner program that appends every
// path it is given to "cleaned" in the program folder.
struct ActionBench {
    DesktopFixture fixture;
    kv::Catalogue catalogue;
    kv::Animations animations;

    ActionBench() {
        catalogue.SetProgramFolder(fixture.ProgramFolder());
        const std::string cleaner = fixture.ProgramFolder() + "RTML.EXE";
        WriteFile(cleaner, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$PWD/cleaned\"\nexit 1\n");
        ::chmod(cleaner.c_str(), 0755);
    }
    std::string Scratch(const std::string& relative) const { return fixture.Scratch() / relative; }
    std::string Cleaned() const { return ReadFile(fixture.ProgramFolder() + "cleaned"); }

    void Run(kv::ReportList& report, int action, const std::string& destination = "") {
        report.SetSuffixes(Suffixes());
        kv::Tfcopia window(catalogue, report, animations, fixture.ProgramFolder());
        window.ActionToDo = action;
        window.Destination = destination;
        window.NotifyDriver = [](unsigned long) {};
        window.exec();
    }
    kv::ReportSuffixes Suffixes() const {
        kv::ReportSuffixes suffixes;
        suffixes.Load(catalogue);
        return suffixes;
    }
};

const int kAllActions[] = {kv::Tfcopia::Copy, kv::Tfcopia::Move, kv::Tfcopia::Rename,
                           kv::Tfcopia::Clean, kv::Tfcopia::Delete};

// Makes a ZIP archive with Info-ZIP zip from the folder `staging`, holding `members`.
bool Zip(const std::string& archive, const std::string& staging,
         const std::vector<std::string>& members) {
    std::vector<std::string> argv{"/usr/bin/zip", "-q", "-r", archive};
    argv.insert(argv.end(), members.begin(), members.end());
    return kv::test::RunCommand(argv, staging).exit_code == 0;
}

}  // namespace

class ActionsTest : public QObject {
    Q_OBJECT

private slots:
    void memberLinesAreNoPaths();
    void scannedArchiveBesideAForgedFolder();
    void filesAndFoldersSwappedForLinks();
    void destinationNamesAreNeverReplaced();
    void copyModeAndAMoveThatCannotRemove();
    void renameCountsCharacters();
    void controlCharactersForgeNoLines();
    void aScannedDocumentIsCleanedInPlace();
    void destinationDialogStartsAtHome();
};

// A folder and a link named like an archive member ("a.zip-->x") beside the archive: no
// action reaches what they hold; a member line acts only through its archive's own line.
void ActionsTest::memberLinesAreNoPaths() {
    ActionBench bench;
    for (int action : kAllActions) {
        const std::string root = bench.Scratch(std::to_string(action) + "/");
        WriteFile(root + "a.zip", "archive");
        WriteFile(root + "victim/payroll.xls", "payroll");
        WriteFile(root + "victim/inner.zip", "inner");
        Symlink(root + "victim", root + "a.zip-->x");
        WriteFile(root + "b.zip-->x/payroll.xls", "other payroll");  // a real folder
        MakeFolders(root + "dst");

        kv::ReportList report;
        kv::ReportLine* archive = AddScannedLine(report, root + "a.zip", "", kind::InfectedArchive);
        kv::ReportLine* document =
            report.AddReportLine(root + "a.zip-->x/payroll.xls", "Macro", kind::MacroVirusDocument);
        kv::ReportLine* nested =
            report.AddReportLine(root + "a.zip-->x/inner.zip", "", kind::InfectedArchive);
        document->Archive = nested->Archive = archive->File;
        // Members of an archive whose own line is not in the report, and a line naming no
        // file at all.
        kv::ReportLine* orphan =
            report.AddReportLine(root + "b.zip-->x/payroll.xls", "Macro", kind::MacroVirusDocument);
        orphan->Archive = std::make_shared<kv::platform::ScannedFile>(*archive->File);
        kv::ReportLine* bare =
            report.AddReportLine(root + "b.zip-->x/payroll.xls", "Test", kind::InfectedFile);

        bench.Run(report, action, root + "dst/");
        const QString what = QString("action %1").arg(action);
        QVERIFY2(ReadFile(root + "victim/payroll.xls") == "payroll", qPrintable(what));
        QVERIFY2(ReadFile(root + "victim/inner.zip") == "inner", qPrintable(what));
        QVERIFY2(ReadFile(root + "b.zip-->x/payroll.xls") == "other payroll", qPrintable(what));
        QCOMPARE(std::distance(fs::directory_iterator(root + "victim"), fs::directory_iterator()),
                 2);
        QCOMPARE(
            std::distance(fs::directory_iterator(root + "b.zip-->x"), fs::directory_iterator()), 1);
        // The members of the archive in the report are left to its line; the others are
        // marked not treated. None got an outcome of its own.
        QCOMPARE(document->Kind, kind::MacroVirusDocument);
        QCOMPARE(nested->Kind, kind::InfectedArchive);
        QCOMPARE(orphan->Kind, kind::MacroVirusDocument | kind::NotTreated);
        QCOMPARE(bare->Kind, kind::InfectedFile | kind::NotTreated);
        // The archive itself got the action.
        switch (action) {
            case kv::Tfcopia::Copy:
                QVERIFY(archive->Kind & kind::Copied);
                QCOMPARE(
                    std::distance(fs::directory_iterator(root + "dst"), fs::directory_iterator()),
                    1);
                QCOMPARE(ReadFile(root + "dst/a.zip"), std::string("archive"));
                break;
            case kv::Tfcopia::Move:
                QVERIFY(archive->Kind & kind::Moved);
                QVERIFY(!Exists(root + "a.zip") && Exists(root + "dst/a.zip"));
                break;
            case kv::Tfcopia::Rename:
                QCOMPARE(archive->Text, root + "a.Vip");
                QVERIFY(Exists(root + "a.Vip"));
                break;
            case kv::Tfcopia::Clean:
                QVERIFY(archive->Kind & kind::Treated);
                break;
            case kv::Tfcopia::Delete:
                QVERIFY(archive->Kind & kind::Deleted);
                QVERIFY(!Exists(root + "a.zip"));
                break;
        }
    }
    // The cleaner program was given the archive's own path, and nothing else.
    QCOMPARE(bench.Cleaned(), fs::canonical(bench.Scratch("4/a.zip")).string() + "\n");
}

// The same attack through a real scan: an infected archive holding x/inner.zip, and beside it
// a link "a.zip-->x" to a folder with another inner.zip. The scan records the archive; the
// delete that follows removes it and nothing behind the link.
void ActionsTest::scannedArchiveBesideAForgedFolder() {
    if (!kv::test::ShippedDatabaseAvailable()) QSKIP("the build has no signature database");
    if (!Exists("/usr/bin/zip")) QSKIP("Info-ZIP zip is not installed");
    ActionBench bench;
    const std::string staging = bench.Scratch("staging/");
    const std::string root = bench.Scratch("scan/");
    WriteFile(staging + "inner/eicar.com", kv::test::EicarString());
    MakeFolders(staging + "x");
    QVERIFY(Zip(staging + "x/inner.zip", staging + "inner", {"eicar.com"}));
    MakeFolders(root);
    QVERIFY(Zip(root + "a.zip", staging, {"x/inner.zip"}));
    WriteFile(bench.Scratch("victim/inner.zip"), "victim's file");
    Symlink(bench.Scratch("victim"), root + "a.zip-->x");

    kv::ReportList report;
    kv::ScanUi ui;
    kv::Engine engine(bench.catalogue, report, ui);
    engine.Options.ScanArchives = 1;
    engine.Options.ScanSubfolders = 1;
    // The resource is named through a link: the scan records the folder it really opened.
    const std::string named = bench.Scratch("named/");
    Symlink(root, bench.Scratch("named"));
    QCOMPARE(engine.ScanResource(kv::test::ProgramDir(), named), 0);

    const kv::ReportLine* archive = nullptr;
    const kv::ReportLine* nested = nullptr;
    for (std::size_t i = 0; i < report.Count(); ++i) {
        const kv::ReportLine* line = report.Line(i);
        if (line->Text == named + "a.zip") archive = line;
        if (line->Text == named + "a.zip-->x/inner.zip") nested = line;
    }
    QVERIFY2(archive != nullptr && nested != nullptr,
             qPrintable(QString::fromStdString(report.LogText())));
    QVERIFY(archive->File && !archive->Archive);
    QVERIFY(!nested->File && nested->Archive == archive->File);
    struct stat st;
    QVERIFY(::stat((root + "a.zip").c_str(), &st) == 0);
    QCOMPARE(archive->File->inode, std::uint64_t(st.st_ino));
    QCOMPARE(archive->File->device, std::uint64_t(st.st_dev));
    QCOMPARE(archive->File->folder, fs::canonical(root).string() + "/");
    QCOMPARE(archive->File->name, std::string("a.zip"));

    bench.Run(report, kv::Tfcopia::Delete);
    QVERIFY(!Exists(root + "a.zip"));
    QCOMPARE(ReadFile(bench.Scratch("victim/inner.zip")), std::string("victim's file"));
    QVERIFY(archive->Kind & kind::Deleted);
    QVERIFY(!(nested->Kind & (kind::Deleted | kind::NotTreated)));
}

// Between the scan and the action the file is swapped for a link, its folder is swapped for
// a link, or another file takes its name: every action leaves the link's target alone and
// marks the line not treated.
void ActionsTest::filesAndFoldersSwappedForLinks() {
    ActionBench bench;
    // The links to the scanned file itself are refused as well: no path through a link.
    enum Swap { kFileLink, kFolderLink, kOtherFile, kLinkToTheFile, kLinkToItsFolder };
    for (int swap : {kFileLink, kFolderLink, kOtherFile, kLinkToTheFile, kLinkToItsFolder}) {
        for (int action : kAllActions) {
            const std::string root =
                bench.Scratch(std::to_string(swap) + "-" + std::to_string(action) + "/");
            WriteFile(root + "src/v.exe", "virus");
            WriteFile(root + "victim/v.exe", "victim");
            MakeFolders(root + "dst");
            kv::ReportList report;
            kv::ReportLine* line =
                AddScannedLine(report, root + "src/v.exe", "Test", kind::InfectedFile);
            switch (swap) {
                case kFileLink:
                    fs::rename(root + "src/v.exe", root + "src/kept.exe");
                    Symlink(root + "victim/v.exe", root + "src/v.exe");
                    break;
                case kFolderLink:
                    fs::rename(root + "src", root + "kept");
                    Symlink(root + "victim", root + "src");
                    break;
                case kOtherFile:
                    // The scanned file is kept, so its inode cannot be handed to the new one.
                    fs::rename(root + "src/v.exe", root + "src/kept.exe");
                    WriteFile(root + "src/v.exe", "another");
                    break;
                case kLinkToTheFile:
                    fs::rename(root + "src/v.exe", root + "src/kept.exe");
                    Symlink(root + "src/kept.exe", root + "src/v.exe");
                    break;
                case kLinkToItsFolder:
                    fs::rename(root + "src", root + "kept");
                    Symlink(root + "kept", root + "src");
                    break;
            }
            bench.Run(report, action, root + "dst/");
            const QString what = QString("swap %1, action %2").arg(swap).arg(action);
            QVERIFY2(ReadFile(root + "victim/v.exe") == "victim", qPrintable(what));
            QVERIFY2(!Exists(root + "victim/v.Vxe"), qPrintable(what));
            QVERIFY2(fs::is_empty(root + "dst"), qPrintable(what));
            if (swap == kOtherFile)
                QVERIFY2(ReadFile(root + "src/v.exe") == "another", qPrintable(what));
            // The scanned file itself stays where it was put, under its name.
            const std::string kept = swap == kFolderLink || swap == kLinkToItsFolder
                                         ? root + "kept/v.exe"
                                         : root + "src/kept.exe";
            QVERIFY2(ReadFile(kept) == "virus", qPrintable(what));
            QVERIFY2((line->Kind & kind::NotTreated) && !(line->Kind & kOutcomeBits),
                     qPrintable(what));
            QCOMPARE(line->Text, root + "src/v.exe");
        }
    }
    QCOMPARE(bench.Cleaned(), std::string());
    // The line says so in the report and the log.
    kv::ReportList report;
    report.SetSuffixes(bench.Suffixes());
    kv::ReportLine* line =
        report.AddReportLine("/x/v.exe", "Test", kind::InfectedFile | kind::NotTreated);
    QCOMPARE(report.LogLine(*line),
             "/x/v.exe " + bench.catalogue.Text(190) + " Test " + bench.catalogue.Text(285));
}

// The destination already holds the name: as a file, a link to another file, a dangling
// link. Nothing there is replaced or written through; the copy takes a free name that the
// line shows.
void ActionsTest::destinationNamesAreNeverReplaced() {
    ActionBench bench;
    enum Holder { kRegular, kLink, kDanglingLink };
    for (int holder : {kRegular, kLink, kDanglingLink}) {
        for (int action : {kv::Tfcopia::Copy, kv::Tfcopia::Move}) {
            const std::string root =
                bench.Scratch(std::to_string(holder) + "-" + std::to_string(action) + "/");
            const std::string dst = root + "dst/";
            WriteFile(root + "src/a.exe", "virus");
            WriteFile(root + "victim", "victim");
            MakeFolders(dst);
            switch (holder) {
                case kRegular:
                    WriteFile(dst + "a.exe", "old");
                    break;
                case kLink:
                    Symlink(root + "victim", dst + "a.exe");
                    break;
                case kDanglingLink:
                    Symlink(root + "nowhere", dst + "a.exe");
                    break;
            }
            // The second name is taken by a dangling link as well.
            Symlink(root + "nowhere2", dst + "a (2).exe");
            kv::ReportList report;
            kv::ReportLine* line =
                AddScannedLine(report, root + "src/a.exe", "Test", kind::InfectedFile);
            bench.Run(report, action, dst);
            const QString what = QString("holder %1, action %2").arg(holder).arg(action);
            QVERIFY2(ReadFile(dst + "a (3).exe") == "virus", qPrintable(what));
            QVERIFY2(ReadFile(root + "victim") == "victim", qPrintable(what));
            QVERIFY2(!Exists(root + "nowhere") && !Exists(root + "nowhere2"), qPrintable(what));
            if (holder == kRegular) QCOMPARE(ReadFile(dst + "a.exe"), std::string("old"));
            if (holder != kRegular) QVERIFY(fs::is_symlink(dst + "a.exe"));
            QCOMPARE(line->CopiedTo, dst + "a (3).exe");
            QVERIFY(report.LogLine(*line).ends_with(" -> " + dst + "a (3).exe"));
            QCOMPARE(Exists(root + "src/a.exe"), action == kv::Tfcopia::Copy);
        }
    }
}

// A copy keeps the source's permission bits without the special ones, at most 0600 where
// others can look; a move whose source cannot be removed says copied, not moved.
void ActionsTest::copyModeAndAMoveThatCannotRemove() {
    kv::test::TempDir dir;
    kv::ReportList report;
    struct Case {
        mode_t source;
        mode_t destination_folder;
        mode_t copy;
    } const cases[] = {
        {04750, 0700, 0750}, {0644, 0700, 0644}, {0755, 0755, 0600},
        {0640, 0770, 0600},  {0604, 0701, 0600},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string folder = dir / ("c" + std::to_string(n++) + "/");
        WriteFile(folder + "src/a.exe", "virus");
        ::chmod((folder + "src/a.exe").c_str(), c.source);
        MakeFolders(folder + "dst");
        ::chmod((folder + "dst").c_str(), c.destination_folder);
        const kv::platform::ScannedFile file =
            *AddScannedLine(report, folder + "src/a.exe", "", kind::InfectedFile)->File;
        std::string name;
        QCOMPARE(kv::CopyScannedFile(file, folder + "dst/", name), kv::ActionResult::kDone);
        struct stat st;
        QVERIFY(::stat((folder + "dst/a.exe").c_str(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, c.copy);
    }

    if (::geteuid() != 0) QSKIP("removing as another user needs root to set up");
    const struct passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) QSKIP("no user nobody");
    // The user may read the file and write the destination, but not remove the source.
    ::chmod(dir.Path().c_str(), 0755);
    WriteFile(dir / "m/src/a.exe", "virus");
    ::chmod((dir / "m/src").c_str(), 0755);
    MakeFolders(dir / "m/dst");
    ::chmod((dir / "m/dst").c_str(), 0777);
    ::chmod((dir / "m").c_str(), 0755);
    const kv::platform::ScannedFile file =
        *AddScannedLine(report, dir / "m/src/a.exe", "", kind::InfectedFile)->File;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
            ::setuid(nobody->pw_uid) != 0)
            ::_exit(100);
        kv::ScannedFileHandle reachable;
        if (!reachable.Open(file, true)) ::_exit(101);
        std::string name;
        ::_exit(static_cast<int>(kv::MoveScannedFile(file, dir / "m/dst/", name)));
    }
    int status = 0;
    QVERIFY(::waitpid(child, &status, 0) == child && WIFEXITED(status));
    if (WEXITSTATUS(status) == 101) QSKIP("the temporary folder is out of reach of user nobody");
    QCOMPARE(WEXITSTATUS(status), static_cast<int>(kv::ActionResult::kCopiedOnly));
    QCOMPARE(ReadFile(dir / "m/src/a.exe"), std::string("virus"));
    QCOMPARE(ReadFile(dir / "m/dst/a.exe"), std::string("virus"));
}

// Rename works on UTF-8 characters: the character after the point becomes 'V' whole, and an
// extension of one character, however many bytes, becomes ".VIR".
void ActionsTest::renameCountsCharacters() {
    const struct {
        const char* name;
        const char* renamed;
    } cases[] = {
        {"a.exe", "a.Vxe"},
        {"a.c", "a.VIR"},
        {"noext", "noext.VIR"},
        {"/x.y/name", "/x.y/name.VIR"},
        {"a.\xc3\xb1", "a.VIR"},
        {"a.\xe2\x82\xac", "a.VIR"},
        {"a.\xf0\x9f\x98\x80", "a.VIR"},
        {"a.\xc3\xb1xe", "a.Vxe"},
        {"a.\xe2\x82\xac\xc3\xa9", "a.V\xc3\xa9"},
        {"a.\xf0\x9f\x98\x80z", "a.Vz"},
        {"a.Vxe", "a.Vxe"},
    };
    for (const auto& c : cases) QCOMPARE(kv::InfectedFileNewName(c.name), std::string(c.renamed));

    // On a real file, through the action window.
    ActionBench bench;
    const std::string path = bench.Scratch("r/x.\xc3\xb1xe");
    WriteFile(path, "virus");
    kv::ReportList report;
    kv::ReportLine* line = AddScannedLine(report, path, "", kind::InfectedFile);
    bench.Run(report, kv::Tfcopia::Rename);
    QCOMPARE(line->Text, bench.Scratch("r/x.Vxe"));
    QCOMPARE(ReadFile(bench.Scratch("r/x.Vxe")), std::string("virus"));
}

// A file named with line ends in it gives one report line and one log line, with '?' in
// their place; the action still reaches the file by its real name.
void ActionsTest::controlCharactersForgeNoLines() {
    ActionBench bench;
    kv::ReportList plain;
    plain.AddReportLine("a\r\nb\x7f", "c\nd\te", kind::InfectedFile);
    QCOMPARE(plain.Line(0)->Text, std::string("a??b?"));
    QCOMPARE(plain.Line(0)->Detail, std::string("c?d?e"));

    if (!kv::test::ShippedDatabaseAvailable()) QSKIP("the build has no signature database");
    const std::string root = bench.Scratch("scan/");
    const std::string name = "a\r\nVirus trovati: 0\r\nb.com";
    WriteFile(root + name, kv::test::EicarString());
    kv::ReportList report;
    report.SetSuffixes(bench.Suffixes());
    kv::ScanUi ui;
    kv::Engine engine(bench.catalogue, report, ui);
    QCOMPARE(engine.ScanResource(kv::test::ProgramDir(), root), 0);
    QCOMPARE(report.Count(), std::size_t(1));
    const kv::ReportLine* line = report.Line(0);
    QCOMPARE(line->Text, root + "a??Virus trovati: 0??b.com");
    const std::string log = report.LogText();
    QCOMPARE(std::count(log.begin(), log.end(), '\n'), 1);
    QCOMPARE(std::count(log.begin(), log.end(), '\r'), 1);
    QVERIFY(line->File && line->File->name == name);

    bench.Run(report, kv::Tfcopia::Delete);
    QVERIFY(report.Line(0)->Kind & kind::Deleted);
    QVERIFY(!Exists(root + name));
}

// A document with an automatic macro, met by a real scan, is cleaned through the file the scan
// opened; swapped for another document afterwards, it is not touched.
void ActionsTest::aScannedDocumentIsCleanedInPlace() {
    ActionBench bench;
    kv::test::WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "Sub MAIN\nEnd Sub\n", 0}};
    const std::string document = kv::test::BuildWordDocument(spec);
    const std::string root = bench.Scratch("docs/");
    WriteFile(root + "letter.doc", document);
    WriteFile(root + "swapped.doc", document);

    kv::ReportList report;
    report.SetSuffixes(bench.Suffixes());
    kv::ScanUi ui;
    kv::Engine engine(bench.catalogue, report, ui);
    engine.Options.SetDefaultExtensions();
    QCOMPARE(engine.ScanResource(kv::test::ProgramDir(), root), 0);
    QCOMPARE(report.Count(), std::size_t(2));
    // The second file is replaced by a copy (same bytes, another inode) after the scan.
    const int swapped = report.Line(0)->Text == root + "swapped.doc" ? 0 : 1;
    WriteFile(root + "copy.doc", document);
    QCOMPARE(::rename((root + "copy.doc").c_str(), (root + "swapped.doc").c_str()), 0);

    bench.Run(report, kv::Tfcopia::Clean);
    const kv::ReportLine* cleaned = report.Line(1 - swapped);
    QVERIFY(cleaned->Kind & kind::Treated);
    QVERIFY(report.Line(swapped)->Kind & kind::NotTreated);
    QVERIFY(ReadFile(root + "letter.doc") != document);
    QCOMPARE(ReadFile(root + "swapped.doc"), document);

    report.ClearReportLines();
    QCOMPARE(engine.ScanResource(kv::test::ProgramDir(), root + "letter.doc"), 0);
    QCOMPARE(report.Count(), std::size_t(0));
}

// The destination folder dialog opens at the home folder, or at the folder it is given;
// never at the root.
void ActionsTest::destinationDialogStartsAtHome() {
    ActionBench bench;
    const std::string home = bench.Scratch("home");
    const std::string last = bench.Scratch("last");
    MakeFolders(home);
    MakeFolders(last);
    const QByteArray saved = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(home));
    {
        kv::TFormDettagli dialog(bench.catalogue);
        QCOMPARE(dialog.SelectedFolder(), QString::fromStdString(home));
    }
    {
        kv::TFormDettagli dialog(bench.catalogue, nullptr, QString::fromStdString(last));
        QCOMPARE(dialog.SelectedFolder(), QString::fromStdString(last));
    }
    qunsetenv("HOME");
    {
        kv::TFormDettagli dialog(bench.catalogue);
        const struct passwd* account = ::getpwuid(::getuid());
        QVERIFY(account != nullptr);
        QCOMPARE(dialog.SelectedFolder(), QString::fromLocal8Bit(account->pw_dir));
        QVERIFY(dialog.SelectedFolder() != "/");
    }
    qputenv("HOME", saved);
}

KV_UI_TEST_MAIN(ActionsTest)
#include "actions_test.moc"
