// The boot-area scan of a drive root, on disk-image files named as the root's devices and
// with stand-ins for the companion program. Real disks are never touched.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "platform/files.h"
#include "tests/support/test_support.h"
#include "ui/catalogue/catalogue.h"
#include "ui/report/report.h"

namespace kv {
namespace {

using kv::test::TempDir;
using kv::test::WriteFile;

const char* const kFixture =
    "Boot.Test:boot:\"KV-BOOT-PATTERN\"\n"
    "Mbr.Test:boot:\"KV-MBR-PATTERN\"\n"
    "Program.Only:exe+com:\"KV-BOOT-PATTERN-AS-PROGRAM\"\n";

class RecordingUi : public ScanUi {
public:
    void PumpEvents() override { ++pumps; }
    void SetProgressCaption(const std::string& caption) override { captions.push_back(caption); }
    int pumps = 0;
    std::vector<std::string> captions;
};

// A 512-byte sector holding `pattern` at `offset` (or nothing when the pattern is empty).
std::string Sector(const std::string& pattern = "", std::size_t offset = 62) {
    std::string s(512, '\0');
    s[0] = '\xEB';
    s[1] = '\x3C';
    s[510] = '\x55';
    s[511] = '\xAA';
    if (!pattern.empty()) s.replace(offset, pattern.size(), pattern);
    return s;
}

class BootAreaTest : public ::testing::Test {
protected:
    BootAreaTest() : catalogue_(kv::test::ProgramDir(), 1), engine_(catalogue_, report_, ui_) {
        engine_.DriverDevice = dir_ / "no-driver";
        WriteFile(dir_ / "fixture.sig", kFixture);
        auto r = kv::test::RunCommand(
            {kv::test::ProgramDir() + "kestravo-sigc", "-o", dir_ / "db", dir_ / "fixture.sig"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        WriteFile(dir_ / "drive/file.txt", "not a program");
        engine_.CompanionTimeoutMs = 500;
    }

    void UseDevices(const std::string& volume, const std::string& disk) {
        engine_.BootDevices.Override(dir_ / "drive/", {volume, disk});
    }

    // A companion stand-in that writes `bytes` into SAFEBOOT, from a file next to it.
    void Companion(const std::string& bytes, const std::string& extra = "") {
        WriteFile(dir_ / "db/companion-output", bytes);
        WriteFile(
            dir_ / "db/SAFEBOOT.EXE",
            "#!/bin/sh\n" + extra + "echo \"$1\" > companion-args\ncp companion-output SAFEBOOT\n");
        ::chmod((dir_ / "db/SAFEBOOT.EXE").c_str(), 0755);
    }

    int Scan() { return engine_.ScanResource(dir_ / "db/", dir_ / "drive/"); }
    int Viruses() const { return engine_.Counters[ScanCounters::VirusesFound]; }

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < report_.Count(); ++i) {
            const ReportLine* l = report_.Line(i);
            lines.push_back(l->Text + "|" + l->Detail + "|" + std::to_string(l->Kind));
        }
        return lines;
    }

    TempDir dir_;
    Catalogue catalogue_;
    ReportList report_;
    RecordingUi ui_;
    Engine engine_;
};

const std::string kBootLine = "Boot Sector |Boot.Test|" + std::to_string(0x00100001);
const std::string kPartitionLine = "Partition |Mbr.Test|" + std::to_string(0x00100001);

TEST_F(BootAreaTest, ReadsBothSectorsFromTheDevicesThenWalks) {
    WriteFile(dir_ / "volume.img", Sector("KV-BOOT-PATTERN") + std::string(4096, '\0'));
    WriteFile(dir_ / "disk.img", Sector("KV-MBR-PATTERN", 446 - 20));
    UseDevices(dir_ / "volume.img", dir_ / "disk.img");
    Scan();
    EXPECT_EQ(Lines(), (std::vector<std::string>{kBootLine, kPartitionLine}));
    EXPECT_EQ(Viruses(), 2);
    // The walk follows the boot area.
    EXPECT_EQ(engine_.Counters[ScanCounters::FilesFound], 1);
    ASSERT_FALSE(ui_.captions.empty());
    EXPECT_EQ(ui_.captions[0], catalogue_.Text(189) + " boot sector " + dir_ / "drive/");
}

TEST_F(BootAreaTest, CleanSectorsAndProgramOnlySignaturesReportNothing) {
    // The pattern of a program signature does not count in a boot sector.
    WriteFile(dir_ / "volume.img",
              Sector("KV-BOOT-PATTERN-AS-PROGRAM", 100).replace(100, 15, "XX-BOOT-PATTERN"));
    UseDevices(dir_ / "volume.img", dir_ / "volume.img");
    Scan();
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(Viruses(), 0);
}

TEST_F(BootAreaTest, WholeDiskFileSystemIsScannedOnce) {
    WriteFile(dir_ / "volume.img", Sector("KV-BOOT-PATTERN"));
    UseDevices(dir_ / "volume.img", dir_ / "volume.img");
    Scan();
    EXPECT_EQ(Lines(), (std::vector<std::string>{kBootLine}));
}

TEST_F(BootAreaTest, UnreadableDeviceFallsBackToTheCompanion) {
    Companion(Sector("KV-BOOT-PATTERN") + Sector("KV-MBR-PATTERN"));
    UseDevices(dir_ / "no-such-device", dir_ / "no-such-disk");
    Scan();
    EXPECT_EQ(Lines(), (std::vector<std::string>{kBootLine, kPartitionLine}));
    // Started with the drive root, in the program folder.
    EXPECT_EQ(kv::test::ReadFile(dir_ / "db/companion-args"), dir_ / "drive/\n");
}

TEST_F(BootAreaTest, CompanionFileSizeDecidesThePasses) {
    UseDevices(dir_ / "no-such-device", "");
    // 512 bytes: boot sector only.
    Companion(Sector("KV-BOOT-PATTERN"));
    Scan();
    EXPECT_EQ(Lines(), (std::vector<std::string>{kBootLine}));
    // 700 bytes: still the boot sector only, although the extra bytes hold a pattern.
    report_.ClearReportLines();
    Companion(Sector() + std::string("KV-MBR-PATTERN") + std::string(174, '\0'));
    Scan();
    EXPECT_TRUE(Lines().empty());
    // A short file is scanned with zeros behind its bytes.
    report_.ClearReportLines();
    Companion(std::string(100, 'x') + "KV-BOOT-PATTERN");
    Scan();
    EXPECT_EQ(Lines(), (std::vector<std::string>{kBootLine}));
}

TEST_F(BootAreaTest, CompanionThatNeverEndsIsKilledAndNothingIsScanned) {
    UseDevices(dir_ / "no-such-device", "");
    Companion(Sector("KV-BOOT-PATTERN"), "sleep 30\n");
    auto start = std::chrono::steady_clock::now();
    Scan();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(engine_.Counters[ScanCounters::FilesFound], 1);
}

TEST_F(BootAreaTest, MissingCompanionOrStaleFileScansNothing) {
    UseDevices(dir_ / "no-such-device", "");
    // A file left by an earlier run is not taken for this run's sectors.
    WriteFile(dir_ / "db/SAFEBOOT", Sector("KV-BOOT-PATTERN"));
    Scan();
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(engine_.Counters[ScanCounters::FilesFound], 1);
    // A companion that fails writes nothing and nothing is scanned either.
    WriteFile(dir_ / "db/SAFEBOOT", Sector("KV-BOOT-PATTERN"));
    WriteFile(dir_ / "db/SAFEBOOT.EXE", "#!/bin/sh\nexit 3\n");
    ::chmod((dir_ / "db/SAFEBOOT.EXE").c_str(), 0755);
    Scan();
    EXPECT_TRUE(Lines().empty());
}

TEST_F(BootAreaTest, NoDriveRootNoBootScan) {
    // Without a device for it, an ordinary folder is walked with no boot-area caption.
    Companion(Sector("KV-BOOT-PATTERN"));
    Scan();
    EXPECT_TRUE(Lines().empty());
    for (const auto& caption : ui_.captions)
        EXPECT_EQ(caption.find("boot sector"), std::string::npos);
    EXPECT_FALSE(kv::platform::FileExists(dir_ / "db/companion-args"));
}

class CountingDrain : public WatchDrain {
public:
    void Drain(int timeout_ms) override { timeouts.push_back(timeout_ms); }
    std::vector<int> timeouts;
};

TEST_F(BootAreaTest, WatchesAreDrainedOnlyAfterTheDeviceCouldBeOpened) {
    CountingDrain drain;
    engine_.Watches = &drain;
    WriteFile(dir_ / "volume.img", Sector());
    UseDevices(dir_ / "volume.img", "");
    Scan();
    EXPECT_EQ(drain.timeouts, (std::vector<int>{1000}));
    // Through the companion the device was not opened: no drain.
    UseDevices(dir_ / "no-such-device", "");
    Companion(Sector());
    Scan();
    EXPECT_EQ(drain.timeouts.size(), 1u);
}

// A real file system on a loop device, mounted: the engine finds the device behind the mount
// point by itself, and so does the real companion program. Only where the test may do that.
class MountedImage {
public:
    explicit MountedImage(const TempDir& dir) : dir_(dir) {}
    ~MountedImage() {
        if (mounted_) Shell("umount '" + dir_ / "mnt" + "'");
        if (!loop_.empty()) Shell("losetup -d '" + loop_ + "'");
    }
    // Makes an ext2 image whose unused boot block holds `pattern`, and mounts it.
    bool Set(const std::string& pattern, std::string& why) {
        if (::geteuid() != 0) return why = "needs root", false;
        std::string image = dir_ / "fs.img";
        if (Shell("truncate -s 4M '" + image + "' && mkfs.ext2 -q -F '" + image + "'") != 0)
            return why = "no mkfs.ext2", false;
        std::string bytes = kv::test::ReadFile(image);
        bytes.replace(100, pattern.size(), pattern);
        WriteFile(image, bytes);
        auto setup =
            kv::test::RunCommand({"/bin/sh", "-c", "losetup --find --show '" + image + "'"});
        if (setup.exit_code != 0) return why = "no loop device: " + setup.err, false;
        loop_ = setup.out.substr(0, setup.out.find('\n'));
        kv::test::MakeFolders(dir_ / "mnt");
        if (Shell("mount -o ro '" + loop_ + "' '" + dir_ / "mnt" + "'") != 0)
            return why = "cannot mount here", false;
        mounted_ = true;
        return true;
    }

private:
    static int Shell(const std::string& command) {
        return kv::test::RunCommand({"/bin/sh", "-c", command}).exit_code;
    }
    const TempDir& dir_;
    std::string loop_;
    bool mounted_ = false;
};

TEST_F(BootAreaTest, MountedLoopDeviceIsFoundAndReadDirectlyAndByTheCompanion) {
    TempDir fs;
    MountedImage mounted(fs);
    std::string why;
    if (!mounted.Set("KV-BOOT-PATTERN", why)) GTEST_SKIP() << why;

    engine_.ScanResource(dir_ / "db/", fs / "mnt/");
    if (Lines().empty()) GTEST_SKIP() << "the loop device cannot be read here";
    EXPECT_EQ(Lines(), (std::vector<std::string>{kBootLine}));

    auto run =
        kv::test::RunCommand({kv::test::ProgramDir() + "SAFEBOOT.EXE", fs / "mnt"}, fs.Path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::string delivered = kv::test::ReadFile(fs / "SAFEBOOT");
    ASSERT_EQ(delivered.size(), 512u);
    EXPECT_EQ(delivered.substr(100, 15), "KV-BOOT-PATTERN");
}

TEST(SafebootCompanion, ReadsAnImageAndExplainsItsRights) {
    TempDir dir;
    WriteFile(dir / "vol.img", Sector("boot"));
    WriteFile(dir / "disk.img", Sector("mbr"));
    auto run = kv::test::RunCommand({kv::test::ProgramDir() + "SAFEBOOT.EXE", "--volume",
                                     dir / "vol.img", "--disk", dir / "disk.img", "/"},
                                    dir.Path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(kv::test::ReadFile(dir / "SAFEBOOT"), Sector("boot") + Sector("mbr"));
    auto help = kv::test::RunCommand({kv::test::ProgramDir() + "SAFEBOOT.EXE", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("setcap"), std::string::npos);
    auto none = kv::test::RunCommand({kv::test::ProgramDir() + "SAFEBOOT.EXE", dir / "vol.img"},
                                     dir.Path());
    EXPECT_EQ(none.exit_code, 2);
}

}  // namespace
}  // namespace kv
