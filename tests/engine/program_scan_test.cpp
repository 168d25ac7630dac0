// The program branch of the file scan pipeline against a fixture database compiled with
// kestravo-sigc: entry block, anchored pass, tail, report lines and counters, the
// self-extracting rescan, and the driver's handling of a missing database.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/catalogue.h"
#include "engine/engine.h"
#include "report/report.h"
#include "tests/support/test_support.h"

namespace kv {
namespace {

using kv::test::TempDir;
using kv::test::WriteFile;
using Bytes = std::string;

class CaptionUi : public ScanUi {
public:
    void SetProgressCaption(const std::string& caption) override { captions.push_back(caption); }
    std::vector<std::string> captions;
};

const char* const kFixture =
    "EICAR-Test-File:exe+com:\"X5O!P%@AP[4\\\\PZX54(P^)7CC)7}$\" \"EICAR-STANDARD-ANTIVIRUS-\" "
    "\"TEST-FILE!$H+H*\"\n"
    "Tail.Marker:exe+com:\"KV-TAIL-MARK\" (near-end 4000)\n"
    "Entry.Anchored:com:^\"KV-ENTRY\"\n"
    "Exe.Anchored:exe:^\"KV-EXE-ENTRY\"\n"
    "Exe.Only:exe:\"KV-EXE-ONLY\"\n"
    "Boot.Only:boot:\"KV-BOOT-ONLY\"\n"
    "Doc.Only:doc:\"KV-DOC-ONLY\"\n";

void Put16(Bytes& b, std::size_t at, unsigned v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void Place(Bytes& b, std::size_t at, const std::string& text) {
    b.replace(at, text.size(), text);
}

// An EXE of `size` bytes whose header gives `pages` and the entry 32 + cs * 16.
Bytes Exe(std::size_t size, unsigned pages, unsigned cs) {
    Bytes b(size, '\x90');
    b[0] = 'M';
    b[1] = 'Z';
    Put16(b, 4, pages);
    Put16(b, 8, 2);
    Put16(b, 20, 0);
    Put16(b, 22, cs);
    return b;
}

class ProgramScanTest : public ::testing::Test {
protected:
    ProgramScanTest() : catalogue_(kv::test::ProgramDir(), 1), engine_(catalogue_, report_, ui_) {
        engine_.DriverDevice = dir_ / "no-driver";
        WriteFile(dir_ / "fixture.sig", kFixture);
        auto r = kv::test::RunCommand(
            {kv::test::ProgramDir() + "kestravo-sigc", "-o", dir_ / "db", dir_ / "fixture.sig"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }

    int Scan(const std::string& target) { return engine_.ScanResource(dir_ / "db/", target); }

    // The report lines as "text|detail|kind".
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < report_.Count(); ++i) {
            const ReportLine* l = report_.Line(i);
            char kind[16];
            std::snprintf(kind, sizeof kind, "%08X", l->Kind);
            lines.push_back(l->Text + "|" + l->Detail + "|" + kind);
        }
        return lines;
    }
    int Counter(int index) const { return engine_.Counters[index]; }
    // Scans one file written with `contents`; returns the detail of its report line or "".
    std::string Found(const std::string& name, const Bytes& contents) {
        WriteFile(dir_ / name, contents);
        report_.ClearReportLines();
        EXPECT_EQ(Scan(dir_ / name), 0);
        return report_.Count() > 0 ? report_.Line(0)->Detail : "";
    }

    TempDir dir_;
    Catalogue catalogue_;
    ReportList report_;
    CaptionUi ui_;
    Engine engine_;
};

TEST_F(ProgramScanTest, TestFileIsReportedWithPathNameAndKind) {
    WriteFile(dir_ / "files/eicar.com", kv::test::EicarString());
    WriteFile(dir_ / "files/clean.com", "\xB4\x4C\xCD\x21");
    EXPECT_EQ(Scan(dir_ / "files/"), 0);
    EXPECT_EQ(Lines(),
              (std::vector<std::string>{dir_ / "files/eicar.com|EICAR-Test-File|00010001"}));
    EXPECT_EQ(Counter(ScanCounters::FilesFound), 2);
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 2);
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 1);
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 0);
}

TEST_F(ProgramScanTest, EntryBlockAndTailOfALargeExe) {
    // 390 pages: image 199680 bytes. Entry at 32 + 0x3000 * 16 = 196640, near the end.
    Bytes entry_near_end = Exe(200000, 390, 0x3000);
    Place(entry_near_end, 196640 + 100, kv::test::EicarString());
    EXPECT_EQ(Found("a.exe", entry_near_end), "EICAR-Test-File");

    // Entry at the start; the marker lies in the last 4000 bytes of the image: the tail pass.
    Bytes tail = Exe(200000, 390, 0);
    Place(tail, 199680 - 500, "KV-TAIL-MARK");
    EXPECT_EQ(Found("b.exe", tail), "Tail.Marker");
    // The tail is measured from pages x 512, not from the file's size: the same marker in
    // the overlay after the image is outside every block scanned.
    Bytes overlay = Exe(200000, 390, 0);
    Place(overlay, 199800, "KV-TAIL-MARK");
    EXPECT_EQ(Found("c.exe", overlay), "");
    // Elsewhere in the middle of the file nothing is read at all.
    Bytes middle = Exe(200000, 390, 0);
    Place(middle, 100000, kv::test::EicarString());
    EXPECT_EQ(Found("d.exe", middle), "");
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 1);
}

TEST_F(ProgramScanTest, AnchoredPassAtTheJumpTargetOfASmallComOnly) {
    Bytes small(3000, '\x90');
    small[0] = '\xE9';
    Put16(small, 1, 1997);  // to 2000
    Place(small, 2000, "KV-ENTRY");
    EXPECT_EQ(Found("small.com", small), "Entry.Anchored");
    // Not anchored anywhere else.
    Bytes elsewhere = small;
    Place(elsewhere, 2000, "........KV-ENTRY");
    EXPECT_EQ(Found("elsewhere.com", elsewhere), "");
    // A 50000-byte file with the same jump is scanned from its first block and its tail.
    Bytes large(50000, '\x90');
    large[0] = '\xE9';
    Put16(large, 1, 1997);
    Place(large, 2000, "KV-ENTRY");
    EXPECT_EQ(Found("large.com", large), "");
    Place(large, 48000, kv::test::EicarString());
    EXPECT_EQ(Found("large2.com", large), "EICAR-Test-File");
}

// The anchored pass starts at the entry point also when the entry lies inside the first block:
// an EXE image that fits in it, and code after leading 0x4D bytes (in a file that fits and in
// one that does not).
TEST_F(ProgramScanTest, AnchoredPassStartsAtAnEntryInsideTheFirstBlock) {
    Bytes small_exe = Exe(3000, 5, 0x10);  // entry 32 + 0x100, image 2560: all in the block
    Place(small_exe, 32 + 0x100, "KV-EXE-ENTRY");
    Bytes dec_com = "\x4D\x4DKV-ENTRY" + Bytes(2000, '\x90');
    Bytes long_dec_com = "\x4D\x4D\x4DKV-ENTRY" + Bytes(60000, '\x90');
    const struct {
        const char* name;
        const Bytes& contents;
        const char* found;
    } cases[] = {{"small.exe", small_exe, "Exe.Anchored"},
                 {"dec.com", dec_com, "Entry.Anchored"},
                 {"long-dec.com", long_dec_com, "Entry.Anchored"}};
    for (const auto& c : cases) EXPECT_EQ(Found(c.name, c.contents), c.found) << c.name;
}

TEST_F(ProgramScanTest, TargetMasksFollowTheFileClass) {
    EXPECT_EQ(Found("exe-only.com", "\x90\x90KV-EXE-ONLY.."), "");
    EXPECT_EQ(Found("exe-only.exe", Exe(3000, 6, 0) + "KV-EXE-ONLY.."), "Exe.Only");
    // A COM file renamed to .exe is still no EXE image: the class comes from the content.
    EXPECT_EQ(Found("com-named.exe", "\x90\x90KV-EXE-ONLY.."), "");
    EXPECT_EQ(Found("boot.com", "\x90\x90KV-BOOT-ONLY.."), "");
    EXPECT_EQ(Found("doc.com", "\x90\x90KV-DOC-ONLY.."), "");
}

TEST_F(ProgramScanTest, BytesOfAnEarlierFillNeverCompleteAMatch) {
    // The entry block (3360 bytes from 196640) ends with the test string's first 20 bytes;
    // the first block, read into the same buffer before it, holds the other 48 bytes at the
    // buffer positions right after. The file holds the whole string nowhere.
    Bytes exe = Exe(200000, 390, 0x3000);
    const std::string eicar = kv::test::EicarString();
    Place(exe, 200000 - 20, eicar.substr(0, 20));
    Place(exe, 3360, eicar.substr(20));
    EXPECT_EQ(Found("split.exe", exe), "");
}

TEST_F(ProgramScanTest, SelfExtractingProgramIsScannedAgainAsAnArchive) {
    Bytes sfx = Exe(3000, 6, 0);
    sfx[30] = 'P';
    sfx[31] = 'K';
    WriteFile(dir_ / "setup.exe", sfx);
    engine_.Options.ScanArchives = 1;
    EXPECT_EQ(Scan(dir_ / "setup.exe"), 0);
    EXPECT_EQ(ui_.captions, (std::vector<std::string>{dir_ / "setup.exe", dir_ / "setup.exe"}));
    EXPECT_EQ(engine_.Kind, kKindArchive);
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 1);

    ui_.captions.clear();
    WriteFile(dir_ / "plain.exe", Exe(3000, 6, 0));
    EXPECT_EQ(Scan(dir_ / "plain.exe"), 0);
    EXPECT_EQ(ui_.captions.size(), 1u);
}

TEST_F(ProgramScanTest, MissingDatabaseFilesEndTheResourceSilently) {
    WriteFile(dir_ / "files/eicar.com", kv::test::EicarString());
    kv::platform::RemoveFile(dir_ / "db/tbl02.nam");
    EXPECT_EQ(Scan(dir_ / "files/"), -1);
    kv::platform::RemoveFile(dir_ / "db/tbl02");
    EXPECT_EQ(Scan(dir_ / "files/"), -2);
    kv::platform::RemoveFile(dir_ / "db/Matrix.DLL");
    EXPECT_EQ(Scan(dir_ / "files/"), -1);
    EXPECT_EQ(report_.Count(), 0u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Counter(i), 0) << i;
    EXPECT_EQ(engine_.Options.ScanRunning, 0);
    EXPECT_TRUE(ui_.captions.empty());
}

}  // namespace
}  // namespace kv
