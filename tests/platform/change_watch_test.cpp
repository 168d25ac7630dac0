#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
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

}  // namespace
}  // namespace kv::platform
