#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "platform/block_device.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "platform/process.h"
#include "tests/support/test_support.h"

namespace kv::platform {
namespace {

using kv::test::TempDir;
using kv::test::WriteFile;

TEST(ResolveCaseInsensitive, FindsExistingFileWhateverItsCase) {
    TempDir dir;
    WriteFile(dir / "Auto.cfg", "x");
    EXPECT_EQ(ResolveCaseInsensitive(dir.Path(), "auto.cfg"), dir / "Auto.cfg");
    EXPECT_EQ(ResolveCaseInsensitive(dir.Path(), "AUTO.CFG"), dir / "Auto.cfg");
    // A missing file keeps the caller's spelling, so a new file is created under it.
    EXPECT_EQ(ResolveCaseInsensitive(dir.Path(), "List.cfg"), dir / "List.cfg");
    // An exact match wins over one that differs in case.
    WriteFile(dir / "auto.cfg", "y");
    EXPECT_EQ(ResolveCaseInsensitive(dir.Path(), "auto.cfg"), dir / "auto.cfg");
}

TEST(FolderListing, ListsOnlyRegularFilesAndFolders) {
    TempDir dir;
    WriteFile(dir / "file.exe", "MZ");
    kv::test::MakeFolders(dir / "sub");
    ASSERT_EQ(::mkfifo((dir / "pipe.exe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/", (dir / "root-link").c_str()), 0);
    ASSERT_EQ(::symlink("file.exe", (dir / "file-link.exe").c_str()), 0);

    std::set<std::string> files, folders;
    FolderListing listing(dir.Path());
    FolderEntry entry;
    while (listing.Next(entry)) {
        (entry.is_folder ? folders : files).insert(entry.name);
    }
    EXPECT_EQ(files, (std::set<std::string>{"file.exe"}));
    EXPECT_EQ(folders, (std::set<std::string>{".", "..", "sub"}));
}

TEST(FolderListing, PseudoFileSystemsAndMissingFoldersListNothing) {
    FolderEntry entry;
    FolderListing proc("/proc/");
    EXPECT_FALSE(proc.Next(entry));
    FolderListing missing("/nonexistent-kestravo-folder/");
    EXPECT_FALSE(missing.Next(entry));
}

TEST(File, RefusesFifoWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "a.exe").c_str(), 0600), 0);
    File file;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(file.OpenRead(dir / "a.exe"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(file.OpenRead(dir.Path()));  // a folder is no file either
}

TEST(File, ReadsSeeksAndAppends) {
    TempDir dir;
    File out;
    ASSERT_TRUE(out.Create(dir / "f"));
    ASSERT_TRUE(out.WriteAll("hello", 5));
    out.Close();
    ASSERT_TRUE(out.OpenAppend(dir / "f"));
    ASSERT_TRUE(out.WriteAll(" world", 6));
    out.Close();

    File in;
    ASSERT_TRUE(in.OpenRead(dir / "f"));
    EXPECT_EQ(in.Size(), 11);
    ASSERT_TRUE(in.Seek(6));
    char buffer[16] = {};
    EXPECT_EQ(in.ReadFull(buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "world");
    EXPECT_FALSE(in.Seek(-1));
}

TEST(File, OpenedInAFolderOrBorrowedReadsOnlyWhatItMay) {
    TempDir dir;
    WriteFile(dir / "a.exe", "0123456789");
    ASSERT_EQ(::mkfifo((dir / "pipe.exe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("a.exe", (dir / "link.exe").c_str()), 0);
    FolderListing listing(dir.Path());
    ASSERT_GE(listing.Descriptor(), 0);

    // The size is asked for only when wanted; a name replaced by a FIFO after the listing
    // neither blocks nor reads nor gives a size, and a link is still refused.
    File file;
    ASSERT_TRUE(file.OpenReadIn(listing.Descriptor(), "a.exe"));
    EXPECT_EQ(file.OpenedSize(), -1);
    char buffer[32] = {};
    EXPECT_EQ(file.ReadAt(buffer, sizeof buffer, 4), 6);
    EXPECT_EQ(file.KnownSize(), 10);
    EXPECT_EQ(file.OpenedSize(), 10);
    ASSERT_TRUE(file.OpenReadIn(listing.Descriptor(), "pipe.exe"));
    EXPECT_EQ(file.ReadAt(buffer, sizeof buffer, 0), -1);  // a FIFO cannot be read at an offset
    EXPECT_EQ(file.KnownSize(), -1);
    EXPECT_FALSE(file.OpenReadIn(listing.Descriptor(), "link.exe"));

    // A borrowed descriptor reads up to the given length, and closing the borrower leaves
    // the owner's file open.
    File owner;
    ASSERT_TRUE(owner.OpenRead(dir / "a.exe"));
    {
        File view;
        view.Borrow(owner, 4);
        std::memset(buffer, 0, sizeof buffer);
        EXPECT_EQ(view.ReadAt(buffer, sizeof buffer, 0), 4);
        EXPECT_STREQ(buffer, "0123");
        EXPECT_EQ(view.ReadAt(buffer, sizeof buffer, 4), 0);
        EXPECT_EQ(view.KnownSize(), 4);
    }
    EXPECT_EQ(owner.ReadAt(buffer, 3, 7), 3);
    EXPECT_EQ(std::string(buffer, 3), "789");
}

TEST(TempFile, IsPrivateAndRemovedWhenDone) {
    TempDir dir;
    ::setenv("TMPDIR", dir.Path().c_str(), 1);
    std::string path;
    {
        TempFile temp("ZIP");
        ASSERT_TRUE(temp.IsOpen());
        path = temp.Path();
        EXPECT_EQ(path.rfind(dir / "ZIP", 0), 0u);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        TempFile second("ZIP");
        EXPECT_NE(second.Path(), path);
    }
    ::unsetenv("TMPDIR");
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(kv::test::CountTempFiles(dir.Path(), "ZIP"), 0);
}

TEST(RunProgram, ReportsExitCodeAndUsesWorkingFolder) {
    TempDir dir;
    ProgramResult r = RunProgram({"/bin/sh", "-c", "pwd > where; exit 3"}, dir.Path(), 5000);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 3);
    std::string where = kv::test::ReadFile(dir / "where");
    EXPECT_EQ(where, dir.Path().substr(0, dir.Path().size() - 1) + "\n");
}

TEST(RunProgram, KillsAProgramThatOutlivesTheTimeOut) {
    auto start = std::chrono::steady_clock::now();
    ProgramResult r = RunProgram({"/bin/sh", "-c", "sleep 30"}, "", 200);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(RunProgram, MissingProgramDoesNotStart) {
    ProgramResult r = RunProgram({"/nonexistent/SAFEBOOT.EXE", "/"}, "", 1000);
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.exit_code, -1);
}

TEST(RunProgram, OutputIsCappedAndAWriterWithoutEndIsKilled) {
    std::string out;
    ProgramResult r =
        RunProgramForOutput({"/bin/sh", "-c", "printf abc; exit 4"}, "", 5000, 8, out);
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(out, "abc");
    auto start = std::chrono::steady_clock::now();
    r = RunProgramForOutput({"/bin/sh", "-c", "while :; do echo x; done"}, "", 5000, 1024, out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_TRUE(r.too_much_output);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_EQ(out.size(), 1025u);
}

TEST(MountRoot, RootIsOneAndAnOrdinaryFolderIsNot) {
    EXPECT_TRUE(IsMountRoot("/"));
    TempDir dir;
    kv::test::MakeFolders(dir / "plain");
    EXPECT_FALSE(IsMountRoot(dir / "plain/"));
    EXPECT_FALSE(IsMountRoot(dir / "missing/"));
}

TEST(DriverDevice, MissingOrOddNodesAreIgnored) {
    TempDir dir;
    SendDeviceRequest(dir / "missing", 1);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    SendDeviceRequest(dir / "fifo", 2);  // must not block waiting for a writer
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace kv::platform

namespace kv::platform {
namespace {

TEST(BlockDevices, MountFieldsAreUnescapedAndOverridesMakeDriveRoots) {
    EXPECT_EQ(UnescapeMountField("/media/my\\040disk"), "/media/my disk");
    EXPECT_EQ(UnescapeMountField("/a\\134b"), "/a\\b");
    EXPECT_EQ(UnescapeMountField("/odd\\09"), "/odd\\09");
    EXPECT_EQ(UnescapeMountField("/end\\04"), "/end\\04");

    kv::test::TempDir dir;
    kv::test::MakeFolders(dir / "drive");
    BlockDeviceMap map;
    EXPECT_FALSE(map.IsDriveRoot(dir / "drive/"));
    map.Override(dir / "drive/", {"/images/vol", "/images/disk"});
    EXPECT_TRUE(map.IsDriveRoot(dir / "drive"));
    BlockDevices found;
    ASSERT_TRUE(map.Find(dir / "drive/", found));
    EXPECT_EQ(found.volume, "/images/vol");
    EXPECT_EQ(found.disk, "/images/disk");
    // A folder that is not a mount point has no device of its own.
    EXPECT_FALSE(FindBlockDevices(dir / "drive/", found));
}

// Only the block device with the expected number is opened: not a file, not a link to the
// device, not a node of another number put in its place.
TEST(BlockDevices, OnlyTheNamedBlockDeviceIsOpened) {
    kv::test::TempDir dir;
    const dev_t number = makedev(7, 0);
    WriteFile(dir / "file", std::string(512, 'f'));
    ASSERT_EQ(::symlink("/dev/loop0", (dir / "link").c_str()), 0);
    std::vector<std::string> refused = {dir / "file", dir / "link", dir / "missing", "/dev/null"};
    if (::mknod((dir / "other").c_str(), S_IFBLK | 0600, makedev(7, 1)) == 0)
        refused.push_back(dir / "other");
    for (const auto& path : refused) {
        SCOPED_TRACE(path);
        errno = 0;
        EXPECT_EQ(OpenBlockDevice(path, number), -1);
        EXPECT_NE(errno, 0);
        unsigned char sector[512];
        EXPECT_FALSE(ReadFirstSector(path, number, sector).opened);
    }
}

}  // namespace
}  // namespace kv::platform
