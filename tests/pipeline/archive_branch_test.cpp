// The archive branch of the file scan against a fixture database: members matched in memory
// as they are decompressed, nested archives and documents extracted to temporary files, the
// self-extracting rescan, the report lines and counters of each situation, the stop request,
// and that no temporary file is ever left behind (checked after every test).
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "containers/zip_reader.h"
#include "tests/containers/compound_builder.h"
#include "tests/containers/zip_builder.h"
#include "tests/pipeline/pipeline_support.h"

namespace kv::test {
namespace {

using Texts = std::vector<std::string>;

const std::string kEicarName = "EICAR-Test-File";

std::string Eicar() {
    return EicarString();
}

// The compression method of each member, as the archive's local headers give it.
std::vector<int> Methods(const std::string& path) {
    std::vector<int> methods;
    zip::ZipArchive archive;
    for (archive.Open(path); archive.Status() == zip::kStatusMember; archive.Next()) {
        methods.push_back(archive.Method());
    }
    return methods;
}

// An EXE of `size` bytes whose header gives `pages` and the entry 32 + cs * 16.
std::string Exe(std::size_t size, unsigned pages, unsigned cs) {
    std::string b(size, '\x90');
    b[0] = 'M';
    b[1] = 'Z';
    b[4] = static_cast<char>(pages & 0xFF);
    b[5] = static_cast<char>(pages >> 8);
    b[8] = 2;
    b[22] = static_cast<char>(cs & 0xFF);
    b[23] = static_cast<char>(cs >> 8);
    return b;
}

using ArchiveBranchTest = PipelineTest;

TEST_F(ArchiveBranchTest, DeflatedMembersAreMatchedInMemoryUnderTheArchiveLine) {
    const std::string zip =
        ZipFiles(dir_ / "a.zip", {{"eicar.com", PaddedProgram(Eicar())},
                                  {"clean.com", PaddedProgram("\xB4\x4C\xCD\x21")},
                                  {"readme.txt", Eicar()}});
    ASSERT_EQ(Methods(zip), (std::vector<int>{8, 8, 0}));
    EXPECT_EQ(Scan(zip), 0);
    EXPECT_EQ(Lines(), (Texts{Line(zip, "", kind::InfectedArchive),
                              Line("eicar.com", kEicarName, kind::InfectedMember)}));
    // Program members are counted as scanned files; the text file is not selected.
    EXPECT_EQ(Counter(ScanCounters::FilesFound), 1);
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 2);
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 1);
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 1);
    EXPECT_EQ(ui_.captions, (Texts{zip, "Inflating eicar.com", "Inflating clean.com"}));
    // Program members never touch the disk.
    EXPECT_EQ(ui_.most_temp_files, 0);
    // The gauge follows each member to its end, and events run after every block.
    ASSERT_FALSE(ui_.gauge.empty());
    EXPECT_EQ(ui_.gauge.back(), (std::pair<std::int64_t, std::int64_t>{6000, 6000}));
    EXPECT_GE(ui_.pumps, 2);
}

TEST_F(ArchiveBranchTest, SeveralInfectedMembersGiveOneArchiveLine) {
    const std::string zip = ZipFiles(dir_ / "two.zip", {{"one.com", PaddedProgram(Eicar())},
                                                        {"sub/two.exe", PaddedProgram(Eicar())}});
    Scan(zip);
    EXPECT_EQ(Lines(), (Texts{Line(zip, "", kind::InfectedArchive),
                              Line("one.com", kEicarName, kind::InfectedMember),
                              Line("sub/two.exe", kEicarName, kind::InfectedMember)}));
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 2);
}

TEST_F(ArchiveBranchTest, OnlyTheEntryBlockAndTheTailOfAMemberAreMatched) {
    // 50000 bytes: the tail is the last output block (bytes 32768 to 50000).
    std::string tail(50000, '\x90');
    tail.replace(50000 - 100, 12, "KV-TAIL-MARK");
    std::string middle(50000, '\x90');
    middle.replace(20000, Eicar().size(), Eicar());
    for (const char* option : {"-0", "-6"}) {
        SCOPED_TRACE(option);
        report_.ClearReportLines();
        const std::string zip = ZipFiles(dir_ / (std::string("t") + option + ".zip"),
                                         {{"tail.com", tail}, {"middle.com", middle}}, {option});
        ASSERT_EQ(Methods(zip)[0], option == std::string("-0") ? 0 : 8);
        Scan(zip);
        // A stored member is cut at its size, so its output reaches the directory size and
        // its last block is matched too.
        EXPECT_EQ(Lines(), (Texts{Line(zip, "", kind::InfectedArchive),
                                  Line("tail.com", "Tail.Marker", kind::InfectedMember)}));
    }
}

TEST_F(ArchiveBranchTest, EntryPointInTheSecondOutputBlock) {
    // Entry at 32 + 2498 * 16 = 40000, inside the second 32 KiB block of output.
    std::string exe = Exe(60000, 118, 2498);
    exe.replace(40000, Eicar().size(), Eicar());
    const std::string zip = ZipFiles(dir_ / "far.zip", {{"far.exe", exe}});
    Scan(zip);
    EXPECT_EQ(Lines(), (Texts{Line(zip, "", kind::InfectedArchive),
                              Line("far.exe", kEicarName, kind::InfectedMember)}));
}

TEST_F(ArchiveBranchTest, HitsOfOneMemberNeverCountForTheNext) {
    ZipBuilder builder;
    builder.Add("infected.com", PaddedProgram(Eicar()));
    // Members that give the sink nothing or fail before their first block.
    builder.Add("tiny.com", "\xC3", 0);
    ZipMember corrupt;
    corrupt.name = "corrupt.com";
    corrupt.data = PaddedProgram("clean");
    corrupt.raw = std::string(300, '\xFF');
    builder.Add(corrupt);
    // A member whose entry point lies beyond its data.
    std::string far(3000, '\x90');
    far[0] = '\xE9';
    far[1] = '\x00';
    far[2] = '\x70';
    builder.Add("far.com", far);
    WriteFile(dir_ / "b.zip", builder.Build());
    Scan(dir_ / "b.zip");
    EXPECT_EQ(Lines(), (Texts{Line(dir_ / "b.zip", "", kind::InfectedArchive),
                              Line("infected.com", kEicarName, kind::InfectedMember)}));
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 1);
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 4);
}

TEST_F(ArchiveBranchTest, ArchiveCommentAndDataDescriptors) {
    const std::string zip = ZipFiles(dir_ / "c.zip", {{"eicar.com", PaddedProgram(Eicar())}});
    const std::string comment(100, 'c');
    auto r = RunCommand({"/bin/sh", "-c", "printf '%s' " + comment + " | /usr/bin/zip -q -z c.zip"},
                        dir_.Path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(ReadFile(zip).substr(ReadFile(zip).size() - comment.size()), comment);

    WriteFile(dir_ / "work/eicar.com", PaddedProgram(Eicar()));
    const std::string piped = ZipThroughPipe(dir_ / "work", {"eicar.com"});
    ASSERT_GT(piped.size(), 8u);
    ASSERT_NE(piped[6] & 0x08, 0) << "zip wrote no data descriptor";
    WriteFile(dir_ / "piped.zip", piped);

    for (const std::string& path : {zip, dir_ / "piped.zip"}) {
        report_.ClearReportLines();
        Scan(path);
        EXPECT_EQ(Lines(), (Texts{Line(path, "", kind::InfectedArchive),
                                  Line("eicar.com", kEicarName, kind::InfectedMember)}));
    }
}

TEST_F(ArchiveBranchTest, NestedArchivesTwoAndThreeDeep) {
    const std::string inner = ZipFiles(dir_ / "inner.zip", {{"eicar.com", PaddedProgram(Eicar())}});
    const std::string mid = ZipFiles(dir_ / "mid.zip", {{"inner.zip", ReadFile(inner)}});
    const std::string outer = ZipFiles(dir_ / "outer.zip", {{"mid.zip", ReadFile(mid)}});

    Scan(mid);
    EXPECT_EQ(Lines(), (Texts{Line(mid + "-->inner.zip", "", kind::InfectedArchive),
                              Line("eicar.com", kEicarName, kind::InfectedMember),
                              Line(mid, "", kind::InfectedArchive)}));
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 2);
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 1);
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 1);
    EXPECT_EQ(ui_.captions,
              (Texts{mid, "Extracting inner.zip", mid + "-->inner.zip", "Inflating eicar.com"}));
    // The member was extracted to a "ZIP" file of the temporary folder while it was scanned.
    EXPECT_EQ(ui_.most_temp_files, 1);

    // Three deep: every level above the infected member names the top-level file, and that
    // line is written once.
    report_.ClearReportLines();
    ui_.most_temp_files = 0;
    Scan(outer);
    EXPECT_EQ(Lines(), (Texts{Line(outer + "-->mid.zip-->inner.zip", "", kind::InfectedArchive),
                              Line("eicar.com", kEicarName, kind::InfectedMember),
                              Line(outer, "", kind::InfectedArchive)}));
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 3);
    EXPECT_EQ(ui_.most_temp_files, 2);
}

TEST_F(ArchiveBranchTest, DocumentsInsideAnArchive) {
    WordDocumentSpec virus;
    virus.macros = {{"Helper", std::string("Sub MAIN ' ") + kMacroPattern + " End Sub", 0x5A}};
    WordDocumentSpec suspicious;
    suspicious.macros = {{"AutoOpen", "Sub MAIN End Sub"}};
    const std::string zip =
        ZipFiles(dir_ / "docs.zip", {{"macro.doc", BuildWordDocument(virus)},
                                     {"auto.doc", BuildWordDocument(suspicious)},
                                     {"plain.xls", "sheet data " + Eicar()},
                                     {"notes.txt", Eicar()}});
    Scan(zip);
    EXPECT_EQ(Lines(), (Texts{Line(zip + "-->macro.doc", "Macro.Test", kind::MacroVirusDocument),
                              Line(zip, "", kind::InfectedArchive),
                              Line(zip + "-->auto.doc", "", kind::SuspectDocument),
                              Line(zip + "-->plain.xls", kEicarName, kind::InfectedFile)}));
    // Documents are not counted as scanned files; a suspicious one is no infection.
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 0);
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 2);
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 1);
}

TEST_F(ArchiveBranchTest, AShorterMemberNeverReadsWhatALongerOneLeftInTheTemporaryFile) {
    // The members share one temporary file, which is overwritten but not cut: the test string
    // of the first lies behind the end of the two after it.
    std::string long_sheet(20000, 'a');
    long_sheet.replace(15000, Eicar().size(), Eicar());
    const std::string inner = ZipFiles(dir_ / "inner.zip", {{"clean.com", PaddedProgram("\xC3")}});
    const std::string zip = ZipFiles(dir_ / "mixed.zip", {{"long.xls", long_sheet},
                                                          {"short.xls", std::string(3000, 'b')},
                                                          {"inner.zip", ReadFile(inner)}});
    Scan(zip);
    EXPECT_EQ(Lines(), (Texts{Line(zip + "-->long.xls", kEicarName, kind::InfectedFile),
                              Line(zip, "", kind::InfectedArchive)}));
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 1);
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 2);
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 1);
    EXPECT_EQ(ui_.most_temp_files, 1);
}

TEST_F(ArchiveBranchTest, SelfExtractingProgramIsScannedAsAProgramAndAsAnArchive) {
    const std::string payload =
        ZipFiles(dir_ / "payload.zip", {{"eicar.com", PaddedProgram(Eicar())}});
    WriteFile(dir_ / "setup.exe", SelfExtractorStub() + ReadFile(payload));
    // zip -A moves the archive's offsets past the program in front of it.
    RunZip(dir_.Path(), {"-A", "setup.exe"});
    ASSERT_EQ(ReadFile(dir_ / "setup.exe").substr(30, 2), "PK");

    Scan(dir_ / "setup.exe");
    EXPECT_EQ(Lines(), (Texts{Line(dir_ / "setup.exe", "", kind::InfectedArchive),
                              Line("eicar.com", kEicarName, kind::InfectedMember)}));
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 2);
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 1);
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 1);
}

TEST_F(ArchiveBranchTest, MembersThatAreNotScanned) {
    ZipBuilder builder;
    // Not stored or deflated: skipped by its method.
    builder.Add("imploded.com", PaddedProgram(Eicar()), 6);
    // Not selected by its extension.
    builder.Add("eicar.txt", Eicar(), 0);
    // Folder entries.
    builder.Add("folder.com/", "", 0);
    // A nested archive that is none: extracted, not opened, its temporary file deleted.
    builder.Add("broken.zip", "PK not really an archive " + Eicar(), 0);
    WriteFile(dir_ / "skip.zip", builder.Build());
    Scan(dir_ / "skip.zip");
    // The member archive that is none and the selected member of an unknown method are named
    // (the latter when the walk ends); the unselected ones are not.
    const std::string skip = dir_ / "skip.zip";
    EXPECT_EQ(
        Lines(),
        (Texts{Line(skip + "-->broken.zip " + catalogue_.Text(282), "", kind::Plain),
               Line(skip + "-->imploded.com " + catalogue_.Text(283) + " 6", "", kind::Plain)}));
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 1);
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 0);

    // Files that are no archive at all are not counted, but the report says they were not read.
    WriteFile(dir_ / "fake.zip", "not an archive");
    Scan(dir_ / "fake.zip");
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 0);
    EXPECT_EQ(Lines().back(), Line(dir_ / "fake.zip " + catalogue_.Text(282), "", kind::Plain));
    // An empty archive is read whole: nothing to say.
    const std::size_t lines = Lines().size();
    WriteFile(dir_ / "empty.zip", ZipBuilder().Build());
    Scan(dir_ / "empty.zip");
    EXPECT_EQ(Lines().size(), lines);
}

TEST_F(ArchiveBranchTest, ArchivesAndMembersThatCannotBeReadGetOneLineEach) {
    const std::string program = PaddedProgram(Eicar());
    const FileList programs = {{"a.com", program}, {"b.exe", program}, {"c.com", program}};
    // Info-ZIP's own encryption and bzip2 method; a cut archive; a nested archive cut short.
    ZipFiles(dir_ / "enc.zip", programs, {"-e", "-P", "secret"});
    ZipFiles(dir_ / "bz2.zip", {{"note.txt", "text"}, {"a.com", program}}, {"-Z", "bzip2"});
    const std::string whole = ReadFile(ZipFiles(dir_ / "whole.zip", programs));
    WriteFile(dir_ / "cut.zip", whole.substr(0, whole.size() / 2));
    ZipFiles(dir_ / "outer.zip", {{"inner.zip", whole.substr(0, whole.size() - 30)}});
    struct Case {
        const char* archive;
        std::string line;
    };
    const Case cases[] = {
        {"enc.zip",
         "enc.zip-->a.com " + catalogue_.Text(284) + " (" + catalogue_.Text(287) + " 2)"},
        {"bz2.zip", "bz2.zip-->a.com " + catalogue_.Text(283) + " 12"},
        {"cut.zip", "cut.zip " + catalogue_.Text(282)},
        {"outer.zip", "outer.zip-->inner.zip " + catalogue_.Text(282)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        report_.ClearReportLines();
        Scan(dir_ / c.archive);
        EXPECT_EQ(Lines(), Texts{Line(dir_ / c.line, "", kind::Plain)});
        EXPECT_EQ(Counter(ScanCounters::VirusesFound), 0);
    }
}

TEST_F(ArchiveBranchTest, ATemporaryFolderThatCannotBeWrittenIsToldOncePerResource) {
    struct Ui : RecordingUi {
        void TemporaryFilesFailed(const std::string& folder, int error) override {
            told.push_back(folder + ":" + std::to_string(error));
        }
        std::vector<std::string> told;
    } ui;
    Engine engine(catalogue_, report_, ui);
    engine.DriverDevice = dir_ / "no-driver";
    engine.Options.ScanArchives = 1;
    // A folder below a file can be neither made nor written, also for root.
    ScopedTempFolder no_tmp(dir_ / "file/tmp");
    WriteFile(dir_ / "file", "a file");
    const std::string inner = ReadFile(ZipFiles(dir_ / "inner.zip", {{"eicar.com", Eicar()}}));
    ZipFiles(dir_ / "tree/nested.zip", {{"in1.zip", inner}, {"in2.zip", inner}, {"d.doc", "x"}});
    ZipFiles(dir_ / "tree/more.zip", {{"in3.zip", inner}, {"p.com", PaddedProgram(Eicar())}});
    const std::string expected =
        catalogue_.Text(286) + " (" + dir_ / "file/tmp/: " + std::strerror(ENOTDIR) + ")";
    for (int run = 1; run <= 2; ++run) {
        report_.ClearReportLines();
        ASSERT_EQ(engine.ScanResource(dir_ / "db/", dir_ / "tree/"), 0);
        // Program members are still matched in memory.
        EXPECT_EQ(engine.Counters[ScanCounters::VirusesFound], 1);
        int told_lines = 0;
        for (const std::string& line : Lines()) {
            if (line == Line(expected, "", kind::Plain)) ++told_lines;
        }
        EXPECT_EQ(told_lines, 1) << testing::PrintToString(Lines());
        EXPECT_EQ(ui.told.size(), static_cast<std::size_t>(run));
    }
    EXPECT_EQ(ui.told.back(), dir_ / "file/tmp/:" + std::to_string(ENOTDIR));
}

TEST_F(ArchiveBranchTest, MemberLargerOrSmallerThanItsDirectoryEntryIsStillScanned) {
    const std::string inner = ZipFiles(dir_ / "inner.zip", {{"eicar.com", PaddedProgram(Eicar())}});
    ZipBuilder builder;
    ZipMember program;
    program.name = "liar.com";
    program.data = PaddedProgram(Eicar(), 6000);
    program.central_uncompressed = 100;
    builder.Add(program);
    ZipMember nested;
    nested.name = "liar.zip";
    nested.data = ReadFile(inner);
    nested.central_uncompressed = static_cast<std::uint32_t>(nested.data.size() + 5000);
    builder.Add(nested);
    WriteFile(dir_ / "liar.zip", builder.Build());
    Scan(dir_ / "liar.zip");
    const std::string zip = dir_ / "liar.zip";
    EXPECT_EQ(Lines(), (Texts{Line(zip, "", kind::InfectedArchive),
                              Line("liar.com", kEicarName, kind::InfectedMember),
                              Line(zip + "-->liar.zip", "", kind::InfectedArchive),
                              Line("eicar.com", kEicarName, kind::InfectedMember)}));
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 2);
}

TEST_F(ArchiveBranchTest, ControlCharactersOfMemberNamesAreNotWrittenToTheReport) {
    ZipBuilder builder;
    builder.Add("evil\r\nforged line.com", PaddedProgram(Eicar()));
    WriteFile(dir_ / "names.zip", builder.Build());
    Scan(dir_ / "names.zip");
    EXPECT_EQ(Lines(), (Texts{Line(dir_ / "names.zip", "", kind::InfectedArchive),
                              Line("evil??forged line.com", kEicarName, kind::InfectedMember)}));
}

TEST_F(ArchiveBranchTest, StopRequestTakesEffectBetweenMembers) {
    const std::string zip = ZipFiles(dir_ / "three.zip", {{"a.com", PaddedProgram(Eicar())},
                                                          {"b.com", PaddedProgram(Eicar())},
                                                          {"c.com", PaddedProgram(Eicar())}});
    ui_.stop_at_pump = 1;  // during the first member
    Scan(zip);
    EXPECT_EQ(Lines(), (Texts{Line(zip, "", kind::InfectedArchive),
                              Line("a.com", kEicarName, kind::InfectedMember)}));
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 1);
}

TEST_F(ArchiveBranchTest, StopDuringANestedExtractionLeavesNoTemporaryFile) {
    const std::string inner = ZipFiles(dir_ / "inner.zip", {{"eicar.com", PaddedProgram(Eicar())}});
    const std::string doc = "plain " + Eicar();
    for (int stop_at : {1, 2, 3}) {
        SCOPED_TRACE(stop_at);
        const std::string outer = ZipFiles(
            dir_ / ("outer" + std::to_string(stop_at) + ".zip"),
            {{"inner.zip", ReadFile(inner)}, {"x.doc", doc}, {"y.com", PaddedProgram(Eicar())}});
        report_.ClearReportLines();
        ui_.pumps = 0;
        ui_.stop_at_pump = stop_at;
        Scan(outer);
        EXPECT_EQ(TempFiles(), 0);
        EXPECT_EQ(engine_.Options.ScanRunning, 0);
        // The member under way is finished (an extracted one is not scanned any more);
        // nothing after it starts.
        EXPECT_EQ(Counter(ScanCounters::FilesScanned), stop_at == 1 ? 0 : 1);
    }
}

TEST_F(ArchiveBranchTest, ProgramFilesAfterAnArchiveAreScannedInTheEngineBuffer) {
    // Large programs need their tail read into the engine buffer; one archive among them.
    std::string tail(50000, '\x90');
    tail.replace(50000 - 100, 12, "KV-TAIL-MARK");
    for (int i = 0; i < 6; ++i) WriteFile(dir_ / ("tree/p" + std::to_string(i) + ".com"), tail);
    // The last member leaves a window of a few bytes behind in the kernel.
    ZipFiles(dir_ / "tree/m.zip",
             {{"eicar.com", PaddedProgram(Eicar())}, {"small.com", "\x90\x90\xC3 tiny"}});
    for (int i = 6; i < 12; ++i) WriteFile(dir_ / ("tree/p" + std::to_string(i) + ".com"), tail);
    Scan(dir_ / "tree/");
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 1);
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 13);
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 14);
}

}  // namespace
}  // namespace kv::test
