#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
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

// Records what the engine asks of the user interface.
class RecordingUi : public ScanUi {
public:
    void PumpEvents() override {
        ++pumps;
        if (on_pump) on_pump();
    }
    void SetProgressCaption(const std::string& caption) override { captions.push_back(caption); }
    void SetScanButtonEnabled(bool enabled) override { button_states.push_back(enabled); }
    void SetStopButtonCaption(const std::string& caption) override {
        stop_captions.push_back(caption);
    }

    int pumps = 0;
    std::function<void()> on_pump;
    std::vector<std::string> captions;
    std::vector<bool> button_states;
    std::vector<std::string> stop_captions;
};

class WalkTest : public ::testing::Test {
protected:
    WalkTest() : catalogue_(kv::test::ProgramDir(), 1), engine_(catalogue_, report_, ui_) {
        engine_.DriverDevice = dir_ / "no-driver";
    }

    int Scan(const std::string& target) {
        return engine_.ScanResource(kv::test::ProgramDir(), target);
    }
    int Found() const { return engine_.Counters[ScanCounters::FilesFound]; }
    int Scanned() const { return engine_.Counters[ScanCounters::FilesScanned]; }

    TempDir dir_;
    Catalogue catalogue_;
    ReportList report_;
    RecordingUi ui_;
    Engine engine_;
};

TEST_F(WalkTest, CountsEveryFileAndScansTheSelectedProgramsOnly) {
    WriteFile(dir_ / "a.com", "\xC3");
    WriteFile(dir_ / "b.EXE", "MZ");
    WriteFile(dir_ / "readme.txt", "text");
    WriteFile(dir_ / "noext", "x");
    WriteFile(dir_ / "sub/c.dll", "x");
    WriteFile(dir_ / "sub/deeper/d.sys", "x");
    EXPECT_EQ(Scan(dir_.Path()), 0);
    EXPECT_EQ(Found(), 6);
    EXPECT_EQ(Scanned(), 4);
    EXPECT_EQ(engine_.Counters[ScanCounters::VirusesFound], 0);
    EXPECT_EQ(engine_.Options.ScanRunning, 0);
    // One pump per folder entry, "." and ".." included.
    EXPECT_GE(ui_.pumps, 6);
    EXPECT_EQ(report_.Count(), 0u);  // clean files write no line
}

TEST_F(WalkTest, HiddenNamesAreSkipped) {
    WriteFile(dir_ / ".profile.exe", "x");
    WriteFile(dir_ / ".hidden/inside.exe", "x");
    WriteFile(dir_ / "seen.exe", "x");
    Scan(dir_.Path());
    EXPECT_EQ(Found(), 1);
    ASSERT_EQ(ui_.captions.size(), 1u);
    EXPECT_EQ(ui_.captions[0], dir_ / "seen.exe");
}

TEST_F(WalkTest, SubfoldersOnlyWhenAsked) {
    WriteFile(dir_ / "top.exe", "x");
    WriteFile(dir_ / "sub/below.exe", "x");
    engine_.Options.ScanSubfolders = 0;
    Scan(dir_.Path());
    EXPECT_EQ(Found(), 1);
    engine_.Options.ScanSubfolders = 1;
    Scan(dir_.Path());
    EXPECT_EQ(Found(), 2);
}

TEST_F(WalkTest, SingleFileIsScannedWhateverItsExtension) {
    WriteFile(dir_ / "letter.txt", "plain");
    Scan(dir_ / "letter.txt");
    EXPECT_EQ(Found(), 1);
    EXPECT_EQ(Scanned(), 1);
    ASSERT_EQ(ui_.captions.size(), 1u);
    EXPECT_EQ(ui_.captions[0], dir_ / "letter.txt");
    // An unlisted extension does not inherit the kind of an earlier classification.
    EXPECT_EQ(engine_.Kind, kKindNone);
}

TEST_F(WalkTest, CountersStartAtZeroOnEveryCall) {
    WriteFile(dir_ / "a.exe", "x");
    for (int& c : engine_.Counters.Counts) c = 77;
    Scan(dir_.Path());
    EXPECT_EQ(engine_.Counters.Counts, (std::array<std::int32_t, 6>{1, 1, 0, 0, 0, 0}));
    Scan(dir_.Path());
    EXPECT_EQ(engine_.Counters.Counts, (std::array<std::int32_t, 6>{1, 1, 0, 0, 0, 0}));
}

TEST_F(WalkTest, StopFromThePumpEndsEveryLevelOfADeepWalk) {
    std::string path = dir_.Path();
    for (int level = 0; level < 30; ++level) {
        path += "d/";
        WriteFile(path + "f.exe", "x");
        WriteFile(path + "g.exe", "x");
    }
    int pumps_before_stop = 40;
    ui_.on_pump = [&] {
        if (--pumps_before_stop == 0) engine_.Options.StopRequested = 1;
    };
    Scan(dir_.Path());
    int found_when_stopped = Found();
    EXPECT_GT(found_when_stopped, 0);
    EXPECT_LT(found_when_stopped, 60);
    // No pump after the stop: every level checked the flag before its next entry.
    EXPECT_EQ(pumps_before_stop, 0);
    EXPECT_EQ(engine_.Options.ScanRunning, 0);
    ASSERT_FALSE(ui_.button_states.empty());
    EXPECT_TRUE(ui_.button_states.back());
    EXPECT_EQ(ui_.stop_captions.size(), 1u);
    EXPECT_EQ(ui_.stop_captions[0], catalogue_.Text(138));

    // The next call clears the stop request and walks everything.
    ui_.on_pump = nullptr;
    Scan(dir_.Path());
    EXPECT_EQ(Found(), 60);
}

TEST_F(WalkTest, FifosAndLinksAreNeverFollowedOrOpened) {
    WriteFile(dir_ / "real.exe", "x");
    ASSERT_EQ(::mkfifo((dir_ / "a.exe").c_str(), 0600), 0);
    kv::test::MakeFolders(dir_ / "loop");
    ASSERT_EQ(::symlink("..", (dir_ / "loop/up").c_str()), 0);
    ASSERT_EQ(::symlink("/", (dir_ / "root").c_str()), 0);
    ASSERT_EQ(::symlink("real.exe", (dir_ / "link.exe").c_str()), 0);
    auto start = std::chrono::steady_clock::now();
    Scan(dir_.Path());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(Found(), 1);
    EXPECT_EQ(Scanned(), 1);
}

TEST_F(WalkTest, NamedFifoIsCountedButNeverBlocks) {
    ASSERT_EQ(::mkfifo((dir_ / "a.exe").c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    Scan(dir_ / "a.exe");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(Found(), 1);
    EXPECT_EQ(Scanned(), 0);
}

TEST_F(WalkTest, ScanButtonIsDisabledDuringTheCall) {
    WriteFile(dir_ / "a.exe", "x");
    bool disabled_while_walking = false;
    ui_.on_pump = [&] {
        disabled_while_walking = !ui_.button_states.empty() && !ui_.button_states.back();
    };
    Scan(dir_.Path());
    EXPECT_TRUE(disabled_while_walking);
    EXPECT_TRUE(ui_.button_states.back());
}

TEST_F(WalkTest, UnloadableDatabaseEndsTheCallAtOnce) {
    WriteFile(dir_ / "a.exe", "x");
    engine_.Options.StopRequested = 1;
    int code = engine_.ScanResource(dir_ / "no-database/", dir_.Path());
    EXPECT_LT(code, 0);
    EXPECT_EQ(engine_.Counters.Counts, (std::array<std::int32_t, 6>{}));
    EXPECT_EQ(engine_.Options.ScanRunning, 0);
    EXPECT_EQ(engine_.Options.StopRequested, 0);
    EXPECT_TRUE(ui_.button_states.empty());
    EXPECT_EQ(ui_.pumps, 0);
}

// Counts the opens of files in one folder, through inotify.
class OpenCounter {
public:
    explicit OpenCounter(const std::string& folder) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        // Closes are watched too: inotify merges identical events that follow each other.
        ::inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_CLOSE_NOWRITE);
    }
    ~OpenCounter() { ::close(fd_); }
    int Opens(const std::string& name) {
        alignas(struct inotify_event) char buffer[4096];
        int count = 0;
        for (;;) {
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) return count;
            for (ssize_t at = 0; at < n;) {
                auto* ev = reinterpret_cast<struct inotify_event*>(buffer + at);
                if ((ev->mask & IN_OPEN) && ev->len > 0 && name == ev->name) ++count;
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            }
        }
    }

private:
    int fd_ = -1;
};

TEST_F(WalkTest, DriverHearsStartAndEndOnlyAroundALoadedDatabase) {
    kv::test::MakeFolders(dir_ / "dev");
    kv::test::MakeFolders(dir_ / "tree");
    WriteFile(dir_ / "dev/kestravo", "");
    engine_.DriverDevice = dir_ / "dev/kestravo";
    OpenCounter counter(dir_ / "dev");
    Scan(dir_ / "tree/");
    EXPECT_EQ(counter.Opens("kestravo"), 2);
    engine_.ScanResource(dir_ / "no-database/", dir_ / "tree/");
    EXPECT_EQ(counter.Opens("kestravo"), 0);
}

class ClassifyTest : public WalkTest {};

TEST_F(ClassifyTest, SelectsByTheExtensionTable) {
    struct Case {
        const char* name;
        bool selected;
        FileKind kind;
    };
    engine_.Options.ScanArchives = 1;
    const Case cases[] = {
        {"SETUP.OVL", true, kKindOverlay},   {"DATA.OV", true, kKindOverlay},
        {"LETTER.DOC", true, kKindDocument}, {"letter.dot", true, kKindDocument},
        {"NOTE.DOCX", true, kKindDocument},  {"BUDGET.XLS", true, kKindSpreadsheet},
        {"BACKUP.ZIP", true, kKindArchive},  {"/x/y/PROG.Com", true, kKindCom},
        {"a.exe", true, kKindExe},           {"drv.sys", true, kKindDriver},
        {"lib.dll", true, kKindLibrary},     {"README", false, kKindNone},
        {"ARCHIVE.", false, kKindNone},      {"a.ex", false, kKindNone},
        {"/dir.exe/file", false, kKindNone}, {"x.comx", true, kKindCom},
    };
    for (const Case& c : cases) {
        engine_.Kind = kKindNone;
        EXPECT_EQ(engine_.ClassifyFile(c.name), c.selected) << c.name;
        EXPECT_EQ(engine_.Kind, c.kind) << c.name;
    }
}

TEST_F(ClassifyTest, ArchivesOnlyWhenAskedAndUnselectedKeepsTheKind) {
    engine_.Options.ScanArchives = 0;
    engine_.Kind = kKindExe;
    EXPECT_FALSE(engine_.ClassifyFile("BACKUP.ZIP"));
    EXPECT_EQ(engine_.Kind, kKindExe);
    engine_.Options.ScanArchives = 1;
    EXPECT_TRUE(engine_.ClassifyFile("backup.zip"));
    EXPECT_EQ(engine_.Kind, kKindArchive);
}

TEST_F(ClassifyTest, EmptyTableEntriesAreSkipped) {
    engine_.Options.ExtensionTable[1][0] = '\0';  // no "EXE"
    EXPECT_FALSE(engine_.ClassifyFile("a.exe"));
    EXPECT_TRUE(engine_.ClassifyFile("a.com"));
}

}  // namespace
}  // namespace kv
