#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "catalogue/catalogue.h"
#include "engine/report_blocks.h"
#include "report/report.h"
#include "tests/support/test_support.h"

namespace kv {
namespace {

using kv::test::ReadFile;
using kv::test::TempDir;

ReportSuffixes TestSuffixes() {
    ReportSuffixes s;
    s.Copied = "<copied>";
    s.Moved = "<moved>";
    s.Deleted = "<deleted>";
    s.Treated = "<treated>";
    s.TreatmentFailed = "<failed>";
    s.Infected = "<infected by>";
    s.ArchiveInfected = "<archive>";
    s.SuspectMacros = "<macros>";
    s.NotTreated = "<not treated>";
    return s;
}

class ReportTest : public ::testing::Test {
protected:
    ReportTest() { report_.SetSuffixes(TestSuffixes()); }
    std::string Compose(const std::string& text, const std::string& detail, std::uint32_t k) {
        ReportLine* line = report_.AddReportLine(text, detail, k);
        std::string out;
        EXPECT_EQ(report_.ComposeReportLine(*line, out), k);
        return out;
    }
    ReportList report_;
};

TEST_F(ReportTest, ComposesFlagTextsInTheirFixedOrder) {
    EXPECT_EQ(Compose("", "", kind::Plain), "");
    EXPECT_EQ(Compose("/a/b.exe", "Test.A", kind::InfectedFile), "/a/b.exe <infected by> Test.A");
    EXPECT_EQ(Compose("x.zip", "", kind::InfectedArchive), "x.zip <archive>");
    EXPECT_EQ(Compose("Boot Sector ", "Boot.A", kind::InfectedBootArea),
              "Boot Sector  <infected by> Boot.A");
    EXPECT_EQ(Compose("d.doc", "", kind::SuspectDocument), "d.doc <infected by>  <macros>");
    EXPECT_EQ(Compose("d.doc", "Macro.A", kind::MacroVirusDocument), "d.doc <infected by> Macro.A");
    // Every flag at once: archive, boot, infected, macros, member, failed (not treated),
    // copied, moved, deleted; each detail-bearing flag adds its text again.
    std::uint32_t all = kind::ArchiveInfected | kind::BootInfected | kind::Infected |
                        kind::SuspectMacros | kind::MemberInfected | kind::TreatmentFailed |
                        kind::Treated | kind::Copied | kind::Moved | kind::Deleted;
    EXPECT_EQ(Compose("T", "V", all),
              "T <archive> <infected by> V <infected by> V <macros> <infected by> V <failed> "
              "<copied> <moved> <deleted>");
    EXPECT_EQ(Compose("T", "V", kind::InfectedFile | kind::Treated), "T <infected by> V <treated>");
    EXPECT_EQ(Compose("T", "V", kind::InfectedFile | kind::Deleted | kind::NotTreated),
              "T <infected by> V <deleted> <not treated>");
    // A copy that took a free name shows it after the copied or moved word, and only then.
    ReportLine* copied = report_.AddReportLine("/s/a.exe", "V", kind::InfectedFile | kind::Copied);
    copied->CopiedTo = "/d/a (2).exe";
    std::string out;
    report_.ComposeReportLine(*copied, out);
    EXPECT_EQ(out, "/s/a.exe <infected by> V <copied> -> /d/a (2).exe");
    copied->Kind = kind::InfectedFile;
    report_.ComposeReportLine(*copied, out);
    EXPECT_EQ(out, "/s/a.exe <infected by> V");
}

TEST_F(ReportTest, ControlCharactersInTextsForgeNoLines) {
    ReportLine* line =
        report_.AddReportLine("/s/a\r\nVirus trovati: 0\r\nb.com", "V\n", kind::InfectedFile);
    EXPECT_EQ(line->Text, "/s/a??Virus trovati: 0??b.com");
    EXPECT_EQ(report_.LogText(), "/s/a??Virus trovati: 0??b.com <infected by> V?\r\n");
}

TEST_F(ReportTest, LabelAndValueLinesCarryTheValueInTheLog) {
    report_.AddReportLine("Files found:", "12", kind::SummaryValue);
    report_.AddReportLine("", "", kind::Plain);
    report_.AddReportLine("/x.com", "Test.A", kind::InfectedFile);
    EXPECT_EQ(report_.LogText(), "Files found: 12\r\n\r\n/x.com <infected by> Test.A\r\n");
}

TEST_F(ReportTest, SaveReplacesAndAppendCreatesOrExtends) {
    TempDir dir;
    report_.AddReportLine("one", "", kind::Plain);
    kv::test::WriteFile(dir / "report.log", "old content that is longer\r\n");
    EXPECT_EQ(report_.SaveReport(dir / "report.log"), 0u);
    EXPECT_EQ(ReadFile(dir / "report.log"), "one\r\n");

    EXPECT_EQ(report_.AppendReport(dir / "new.log"), 0u);
    EXPECT_EQ(report_.AppendReport(dir / "new.log"), 0u);
    EXPECT_EQ(ReadFile(dir / "new.log"), "one\r\none\r\n");

    EXPECT_NE(report_.SaveReport(dir / "missing-folder/report.log"), 0u);
    EXPECT_NE(report_.AppendReport(dir / "missing-folder/report.log"), 0u);
}

TEST_F(ReportTest, TheLogFileIsNeverALinkOrASpecialFile) {
    // A folder that everybody may write into (sticky, like /tmp), where another user planted
    // names for the log file ahead of the scan, and a file of someone else's that they aim at.
    TempDir dir;
    const std::string shared = dir / "shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string victim = dir / "victim";
    kv::test::WriteFile(victim, "precious\n");
    ASSERT_EQ(::symlink(victim.c_str(), (shared + "/link.log").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (shared + "/dangling.log").c_str()), 0);
    ASSERT_EQ(::link(victim.c_str(), (shared + "/hard.log").c_str()), 0);
    ASSERT_EQ(::mkfifo((shared + "/fifo.log").c_str(), 0666), 0);
    report_.AddReportLine("one", "", kind::Plain);

    for (const char* name : {"link.log", "dangling.log", "hard.log", "fifo.log"}) {
        for (bool append : {false, true}) {
            SCOPED_TRACE(std::string(name) + (append ? " append" : " save"));
            const std::string path = shared + "/" + name;
            const auto start = std::chrono::steady_clock::now();
            EXPECT_NE(append ? report_.AppendReport(path) : report_.SaveReport(path), 0u);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
            EXPECT_EQ(ReadFile(victim), "precious\n");
        }
    }
    struct stat none;
    EXPECT_NE(::lstat((dir / "nowhere").c_str(), &none), 0);

    // New files: private to their owner in a shared folder, readable by all elsewhere (as far
    // as the umask lets them be).
    const mode_t mask = ::umask(022);
    const struct {
        std::string path;
        mode_t mode;
    } created[] = {{shared + "/new.log", 0600}, {dir / "own.log", 0644}};
    for (const auto& c : created) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(report_.SaveReport(c.path), 0u);
        struct stat st;
        ASSERT_EQ(::lstat(c.path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(ReadFile(c.path), "one\r\n");
    }
    ::umask(mask);
}

TEST_F(ReportTest, ClearStopsDrawingAndPicturesNeedABitmap) {
    EXPECT_FALSE(report_.DrawingEnabled());
    ReportLine* line = report_.AddReportLine("a", "", kind::Plain);
    EXPECT_TRUE(report_.DrawingEnabled());
    report_.AttachReportPicture(line, nullptr, 0, 4, 122);
    EXPECT_EQ(line->Picture, nullptr);
    int bitmap = 0;
    report_.AttachReportPicture(line, &bitmap, 2, 168, 16);
    ASSERT_NE(line->Picture, nullptr);
    EXPECT_EQ(line->Picture->Row, 2);
    EXPECT_EQ(line->Picture->PictureX, 168);
    EXPECT_EQ(line->Picture->TextX, 16);
    report_.ClearReportLines();
    EXPECT_FALSE(report_.DrawingEnabled());
    EXPECT_EQ(report_.Count(), 0u);
}

TEST_F(ReportTest, TextsAreCopiedWhenAdded) {
    std::string shared = "first";
    ReportLine* line = report_.AddReportLine(shared, shared, kind::Plain);
    shared = "changed";
    EXPECT_EQ(line->Text, "first");
    EXPECT_EQ(line->Detail, "first");
}

class Listener : public ReportListener {
public:
    void ReportLineAdded(std::size_t index) override { added.push_back(index); }
    void ReportCleared() override { ++cleared; }
    std::vector<std::size_t> added;
    int cleared = 0;
};

TEST_F(ReportTest, ListenerMirrorsEveryLine) {
    Listener listener;
    report_.SetListener(&listener);
    report_.AddReportLine("a", "", 0);
    report_.AddReportLine("b", "", 0);
    report_.ClearReportLines();
    report_.AddReportLine("c", "", 0);
    EXPECT_EQ(listener.added, (std::vector<std::size_t>{0, 1, 0}));
    EXPECT_EQ(listener.cleared, 1);
}

// The blocks around a scan, checked against the shipped catalogue's own texts.
class BlocksTest : public ::testing::Test {
protected:
    BlocksTest() : catalogue_(kv::test::ProgramDir(), 2) {
        ReportSuffixes s;
        s.Load(catalogue_);
        report_.SetSuffixes(s);
    }
    std::string T(std::uint16_t n) const { return catalogue_.Text(n); }
    Catalogue catalogue_;
    ReportList report_;
    int banner_ = 0, infected_ = 0, clean_ = 0;
};

TEST_F(BlocksTest, BannerHasSixPictureRowsAndTheClockOnTheFourth) {
    ReportBlockPictures pictures{&banner_, &infected_, &clean_};
    WriteBanner(report_, catalogue_, pictures, "12:34:56", false);
    ASSERT_EQ(report_.Count(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        const ReportLine* line = report_.Line(i);
        EXPECT_EQ(line->Kind, kind::Plain);
        ASSERT_NE(line->Picture, nullptr);
        EXPECT_EQ(line->Picture->Bitmap, &banner_);
        EXPECT_EQ(line->Picture->Row, static_cast<int>(i));
        EXPECT_EQ(line->Picture->PictureX, 4);
        EXPECT_EQ(line->Picture->TextX, 122);
        EXPECT_EQ(line->Text, i == 3 ? T(188) + " 12:34:56" : "");
    }
    report_.ClearReportLines();
    WriteBanner(report_, catalogue_, ReportBlockPictures{}, "t", true);
    EXPECT_EQ(report_.Line(4)->Text, T(148));
    EXPECT_EQ(report_.Line(0)->Picture, nullptr);
}

TEST_F(BlocksTest, SummaryPicksThePictureByInfections) {
    ReportBlockPictures pictures{&banner_, &infected_, &clean_};
    ScanCounters counters;
    counters[ScanCounters::FilesFound] = 12;
    counters[ScanCounters::FilesScanned] = 5;
    counters[ScanCounters::ArchivesOpened] = 2;
    WriteResourceSummary(report_, catalogue_, pictures, counters);
    ASSERT_EQ(report_.Count(), 6u);
    EXPECT_EQ(report_.Line(1)->Picture->Bitmap, &clean_);
    EXPECT_EQ(report_.LogText(), "\r\n" + T(191) + " 12\r\n" + T(192) + " 5\r\n" + T(193) +
                                     " 2\r\n" + T(194) + " 0\r\n\r\n");
    for (int row = 0; row < 3; ++row) {
        const ReportLine* line = report_.Line(static_cast<std::size_t>(1 + row));
        EXPECT_EQ(line->Kind, kind::SummaryValue);
        EXPECT_EQ(line->Picture->Row, row);
        EXPECT_EQ(line->Picture->PictureX, 168);
        EXPECT_EQ(line->Picture->TextX, 16);
    }
    EXPECT_EQ(report_.Line(4)->Picture, nullptr);

    counters[ScanCounters::VirusesFound] = 1;
    report_.ClearReportLines();
    WriteResourceSummary(report_, catalogue_, pictures, counters);
    EXPECT_EQ(report_.Line(1)->Picture->Bitmap, &infected_);
}

TEST_F(BlocksTest, HeadingAndTotals) {
    WriteResourceHeading(report_, catalogue_, "/home/user/");
    ScanCounters totals;
    totals.Counts = {10, 8, 1, 3, 0, 0};
    WriteTotalsBlock(report_, catalogue_, totals);
    EXPECT_EQ(report_.LogText(), "\r\n" + T(189) + " /home/user/\r\n\r\n" + T(195) + "\r\n" +
                                     T(191) + " 10\r\n" + T(192) + " 8\r\n" + T(193) + " 3\r\n" +
                                     T(209) + " 1\r\n\r\n");
}

}  // namespace
}  // namespace kv
