#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/change_watch.h"
#include "tests/support/test_support.h"

namespace kv::platform {
namespace {

using kv::test::MakeFolders;
using kv::test::TempDir;
using kv::test::WriteFile;

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count;
}

TEST(ChangeWatch, SignalsWrittenFilesUntilRearmed) {
    TempDir dir;
    WriteFile(dir / "old.exe", "MZ");  // what is there before the watch is no change
    ChangeWatch watch;
    ASSERT_TRUE(watch.Open(dir.Path(), false));
    EXPECT_FALSE(watch.Signalled());
    WriteFile(dir / "new.exe", "MZ");
    EXPECT_TRUE(watch.Signalled());
    EXPECT_TRUE(watch.Signalled());  // stays signalled until re-armed
    watch.Rearm();
    EXPECT_FALSE(watch.Signalled());
    // Re-arming drains what is pending, whatever happened before it.
    WriteFile(dir / "a.exe", "1");
    WriteFile(dir / "b.exe", "2");
    watch.Rearm();
    EXPECT_FALSE(watch.Signalled());
    // Without the subtree, a file written in a subfolder is not seen.
    MakeFolders(dir / "sub");
    WriteFile(dir / "sub/x.exe", "MZ");
    EXPECT_FALSE(watch.Signalled());
    // A file moved in is a change.
    WriteFile(dir / "sub/y.exe", "MZ");
    ASSERT_EQ(::rename((dir / "sub/y.exe").c_str(), (dir / "y.exe").c_str()), 0);
    EXPECT_TRUE(watch.Signalled());
}

TEST(ChangeWatch, SubtreeWatchesNewSubfolders) {
    TempDir dir;
    MakeFolders(dir / "deep/er");
    ChangeWatch watch;
    ASSERT_TRUE(watch.Open(dir.Path(), true));
    EXPECT_EQ(watch.FolderCount(), 3u);
    WriteFile(dir / "deep/er/f.exe", "MZ");
    EXPECT_TRUE(watch.Signalled());
    watch.Rearm();

    // A new, empty subfolder is watched but is no change itself...
    MakeFolders(dir / "new");
    EXPECT_FALSE(watch.Signalled());
    EXPECT_EQ(watch.FolderCount(), 4u);
    // ...a file written into it is.
    WriteFile(dir / "new/file.exe", "MZ");
    EXPECT_TRUE(watch.Signalled());
    watch.Rearm();

    // Folders that arrive already holding files (made before the watch could see them) count
    // as a change, and their own subfolders are watched too.
    MakeFolders(dir / "late/inner");
    WriteFile(dir / "late/inner/g.exe", "MZ");
    EXPECT_TRUE(watch.Signalled());
    watch.Rearm();
    WriteFile(dir / "late/inner/h.exe", "MZ");
    EXPECT_TRUE(watch.Signalled());
    watch.Rearm();

    // A watched folder moved within the tree is known by its new name: folders made in it
    // later are watched as well.
    ASSERT_EQ(::rename((dir / "deep").c_str(), (dir / "moved").c_str()), 0);
    watch.Rearm();
    MakeFolders(dir / "moved/er/newer");
    EXPECT_FALSE(watch.Signalled());
    WriteFile(dir / "moved/er/newer/i.exe", "MZ");
    EXPECT_TRUE(watch.Signalled());
}

TEST(WatchTable, LowestSignalledFirstMissingSkippedElevenAtMost) {
    const int before = OpenDescriptors();
    {
        TempDir dir;
        WatchTable table;
        EXPECT_EQ(table.Wait(0), -1);  // an empty table never signals
        // Thirteen folders, the second missing: it is skipped, and of the twelve others the
        // first eleven are watched, each with its list index.
        for (int i = 0; i < 13; ++i) {
            if (i != 1) MakeFolders(dir / ("f" + std::to_string(i)));
        }
        int added = 0;
        for (int i = 0; i < 13; ++i) {
            if (table.Add(dir / ("f" + std::to_string(i)), false, i)) ++added;
        }
        EXPECT_EQ(added, 11);
        EXPECT_EQ(table.Count(), 11);
        EXPECT_EQ(table.ListIndex(0), 0);
        EXPECT_EQ(table.ListIndex(1), 2);
        EXPECT_EQ(table.ListIndex(10), 11);
        EXPECT_EQ(OpenDescriptors(), before + 11);

        EXPECT_EQ(table.Wait(0), -1);
        WriteFile(dir / "f12/x.exe", "MZ");  // not in the table
        EXPECT_EQ(table.Wait(0), -1);
        WriteFile(dir / "f5/x.exe", "MZ");
        WriteFile(dir / "f3/x.exe", "MZ");
        EXPECT_EQ(table.Wait(0), 2);  // folder 3, the lower table index
        table.Rearm(2);
        EXPECT_EQ(table.Wait(0), 4);  // folder 5
        table.Rearm(4);
        EXPECT_EQ(table.Wait(0), -1);

        // A bounded wait returns when a change comes, and times out when none does.
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(table.Wait(150), -1);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
        WriteFile(dir / "f0/x.exe", "MZ");
        WriteFile(dir / "f11/x.exe", "MZ");
        table.Drain(50);
        EXPECT_EQ(table.Wait(0), -1);
    }
    // Every inotify instance was closed with its table.
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(WatchTable, SubfolderWatchesStayWithinTheirBounds) {
    // Someone who can write into a download folder makes folders without end: the watches
    // stay within the bounds, are added a few per poll, and the user is told once.
    TempDir dir;
    WatchLimits limits;
    limits.per_folder = 50;
    limits.total = 80;
    limits.added_per_poll = 20;
    limits.entries_per_poll = 400;
    WatchTable table(limits);
    for (const char* name : {"a", "b", "c"}) MakeFolders(dir / name);
    // The folders arrive after the watch is made, first in one download folder, then in the
    // other: the first is held by its own bound, the second by what the total leaves.
    for (int folder = 0; folder < 2; ++folder) {
        const std::string top = dir / (folder == 0 ? "a/" : "b/");
        ASSERT_TRUE(table.Add(top, true, folder));
        for (int i = 0; i < 200; ++i) MakeFolders(top + std::to_string(i));
        std::size_t before = table.FolderCount();
        for (int poll = 0; poll < 12; ++poll) {
            table.Wait(0);
            EXPECT_LE(table.FolderCount() - before, limits.added_per_poll);
            before = table.FolderCount();
        }
        EXPECT_EQ(table.TakeLimitNotice(), folder == 0);
    }
    EXPECT_EQ(table.Watch(0).FolderCount(), limits.per_folder + 1);
    EXPECT_EQ(table.FolderCount(), limits.total);
    // With the total taken, a further folder is not watched at all.
    EXPECT_FALSE(table.Add(dir / "c", false, 2));

    // Folders removed give their watches back.
    for (int i = 0; i < 200; ++i) ::rmdir((dir / ("a/" + std::to_string(i))).c_str());
    table.Wait(0);
    EXPECT_EQ(table.Watch(0).FolderCount(), 1u);
    table.Clear();
    EXPECT_EQ(table.FolderCount(), 0u);
}

TEST(ChangeWatch, OwnFilesAreNoChange) {
    TempDir dir;
    MakeFolders(dir / "tmp");
    MakeFolders(dir / "logs");
    MakeFolders(dir / "other");
    ChangeWatch watch;
    ASSERT_TRUE(watch.Open(dir.Path(), true));
    watch.SetOwnFiles(OwnFiles{dir / "tmp/", "ZIP", dir / "logs/report.log"});
    const struct {
        const char* file;
        bool change;
    } cases[] = {
        {"tmp/ZIPa1B2c3", false},     // a temporary file of the program
        {"logs/report.log", false},   // its log
        {"logs/Report.LOG", false},   // the log as found without regard to case
        {"tmp/ZIPa1B2c3.exe", true},  // named like a temporary file, but not one
        {"tmp/ZIPa1B2c", true},       // one character short
        {"tmp/virus.exe", true},      // a download into the temporary folder
        {"other/ZIPa1B2c3", true},    // the prefix outside the temporary folder
        {"report.log", true},         // the log's name in another folder
        {"logs/report.exe", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        watch.Rearm();
        WriteFile(dir / c.file, "data");
        EXPECT_EQ(watch.Signalled(), c.change);
    }
}

TEST(ChangeWatch, OverflowIsOneChangeAndOneBoundedWalk) {
    long queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued <= 0 || queued > 65536) GTEST_SKIP() << "event queue of " << queued << " entries";
    TempDir dir;
    MakeFolders(dir / "flood");
    WatchLimits limits;
    limits.added_per_poll = 10;
    ChangeWatch watch;
    ASSERT_TRUE(watch.Open(dir.Path(), true, limits));
    ASSERT_EQ(watch.FolderCount(), 2u);
    // Writes that alternate between two files queue one event each (only repeats of the
    // same event merge): the queue overflows, and the folders made after that are known to
    // no event.
    {
        std::ofstream one(dir / "flood/1", std::ios::binary),
            two(dir / "flood/2", std::ios::binary);
        for (long i = 0; i <= queued / 2; ++i) {
            one.put('x').flush();
            two.put('x').flush();
        }
    }
    for (int i = 0; i < 30; ++i) MakeFolders(dir / ("late" + std::to_string(i)));
    EXPECT_TRUE(watch.Signalled());
    // Each poll adds at most its share of watches, until the folders are all found.
    int polls = 1;
    for (; polls < 100 && (watch.Walking() || watch.FolderCount() < 32); ++polls) {
        const std::size_t before = watch.FolderCount();
        watch.Rearm();
        EXPECT_LE(watch.FolderCount() - before, limits.added_per_poll);
    }
    EXPECT_EQ(watch.FolderCount(), 32u);
    EXPECT_GE(polls, 3);
    // The walk found the folders, which signal from now on; nothing else is pending.
    EXPECT_FALSE(watch.Signalled());
    WriteFile(dir / "late29/x.exe", "MZ");
    EXPECT_TRUE(watch.Signalled());
}

}  // namespace
}  // namespace kv::platform
