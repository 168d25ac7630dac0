// The boot-area scan of a drive root, on disk-image files named as the root's devices and
// with stand-ins for the companion program. Real disks are never touched.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/catalogue.h"
#include "engine/engine.h"
#include "platform/files.h"
#include "report/report.h"
#include "tests/support/test_support.h"

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
    void BootAreaNotScanned(const std::string& root, const BootAreaProblem& problem) override {
        unscanned.push_back(root);
        problems.push_back(problem);
    }
    int pumps = 0;
    std::vector<std::string> captions;
    std::vector<std::string> unscanned;
    std::vector<BootAreaProblem> problems;
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

    // A companion stand-in that writes `bytes` to its standard output, from a file next to
    // it, then runs `after` (a time-out, an exit status).
    void Companion(const std::string& bytes, const std::string& after = "") {
        WriteFile(dir_ / "db/companion-output", bytes);
        WriteFile(dir_ / "db/SAFEBOOT.EXE",
                  "#!/bin/sh\necho \"$1\" > companion-args\ncat companion-output\n" + after);
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
    // Started with the mount point in its resolved form, in the program folder.
    EXPECT_EQ(kv::test::ReadFile(dir_ / "db/companion-args"), dir_ / "drive\n");
    EXPECT_TRUE(ui_.unscanned.empty());
}

TEST_F(BootAreaTest, CompanionOutputSizeDecidesThePasses) {
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
    EXPECT_TRUE(ui_.unscanned.empty());
}

// Whatever the companion does short of ending with status 0 after one or two sectors, the
// boot area is not scanned (its bytes are never searched) and the caller is told why.
TEST_F(BootAreaTest, CompanionThatFailsOrMisbehavesScansNothing) {
    using Outcome = BootAreaProblem::Companion;
    const std::string infected = Sector("KV-BOOT-PATTERN");
    struct Case {
        const char* what;
        std::string output;
        std::string after;
        Outcome expected;
    } cases[] = {
        {"more than two sectors", infected + std::string(2000 - 512, 'x'), "",
         Outcome::kTooMuchOutput},
        {"output without end", infected, "while :; do cat companion-output; done\n",
         Outcome::kTooMuchOutput},
        {"a sector, then a failure", infected, "exit 1\n", Outcome::kFailed},
        {"less than a sector", infected.substr(0, 511), "", Outcome::kShort},
        {"a sector, then no end", infected, "sleep 10\n", Outcome::kTimedOut},
    };
    UseDevices(dir_ / "no-such-device", "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ui_.problems.clear();
        Companion(c.output, c.after);
        auto start = std::chrono::steady_clock::now();
        Scan();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(Lines().empty());
        ASSERT_EQ(ui_.problems.size(), 1u);
        EXPECT_EQ(ui_.problems[0].companion, c.expected);
        EXPECT_EQ(ui_.problems[0].device_error, ENOENT);
        // The walk goes on, and the companion is killed and reaped: no child is left.
        EXPECT_EQ(engine_.Counters[ScanCounters::FilesFound], 1);
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    }
    EXPECT_EQ(ui_.unscanned.back(), dir_ / "drive/");
}

TEST_F(BootAreaTest, MissingCompanionOrStaleFileScansNothing) {
    UseDevices(dir_ / "no-such-device", "");
    // A SAFEBOOT file (as an old companion left it) is never read.
    WriteFile(dir_ / "db/SAFEBOOT", Sector("KV-BOOT-PATTERN"));
    Scan();
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(engine_.Counters[ScanCounters::FilesFound], 1);
    ASSERT_EQ(ui_.problems.size(), 1u);
    EXPECT_EQ(ui_.problems[0].companion, BootAreaProblem::Companion::kMissing);
    // Nor when a companion ends well without writing to its output.
    WriteFile(dir_ / "db/SAFEBOOT.EXE", "#!/bin/sh\ncat SAFEBOOT >&2\nexit 0\n");
    ::chmod((dir_ / "db/SAFEBOOT.EXE").c_str(), 0755);
    Scan();
    EXPECT_TRUE(Lines().empty());
    ASSERT_EQ(ui_.problems.size(), 2u);
    EXPECT_EQ(ui_.problems[1].companion, BootAreaProblem::Companion::kShort);
    // The companion is taken from the folder named for it, not the database's.
    engine_.CompanionFolder = dir_ / "companion/";
    kv::test::MakeFolders(dir_ / "companion");
    WriteFile(dir_ / "companion/SAFEBOOT.EXE", "#!/bin/sh\ncat ../db/SAFEBOOT\n");
    ::chmod((dir_ / "companion/SAFEBOOT.EXE").c_str(), 0755);
    Scan();
    EXPECT_EQ(Lines(), (std::vector<std::string>{kBootLine}));
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
        boot_sector_ = bytes.substr(0, 512);
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
    const std::string& BootSector() const { return boot_sector_; }

private:
    static int Shell(const std::string& command) {
        return kv::test::RunCommand({"/bin/sh", "-c", command}).exit_code;
    }
    const TempDir& dir_;
    std::string loop_;
    std::string boot_sector_;
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
    EXPECT_EQ(run.out, mounted.BootSector());
}

// The setup the README recommends: the companion owned by root with a read capability, run
// by an ordinary user. It delivers the boot sector of a mount point and nothing else, and
// kestravo-scan run by that user scans it; without the capability kestravo-scan says once
// that the boot sector was not scanned.
TEST_F(BootAreaTest, CompanionWithACapabilityServesAnOrdinaryUserOnlyBootSectors) {
    TempDir fs;
    MountedImage mounted(fs);
    std::string why;
    if (!mounted.Set("KV-BOOT-PATTERN", why)) GTEST_SKIP() << why;
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
    // A program folder that user may reach, with the database the fixture made.
    TempDir program;
    ASSERT_EQ(::chmod(program.Path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(fs.Path().c_str(), 0755), 0);
    auto copy = kv::test::RunCommand(
        {"/bin/sh", "-c",
         "cp '" + kv::test::ProgramDir() + "SAFEBOOT.EXE' '" + kv::test::ProgramDir() +
             "kestravo-scan' '" + program.Path() + "' && cp -r '" + dir_ / "db" + "' '" +
             program.Path() + "' && chmod -R a+rX '" + program.Path() + "'"});
    ASSERT_EQ(copy.exit_code, 0) << copy.err;
    auto setcap = kv::test::RunCommand(
        {"/bin/sh", "-c", "setcap cap_dac_read_search+ep '" + program / "SAFEBOOT.EXE" + "'"});
    if (setcap.exit_code != 0) GTEST_SKIP() << "setcap does not work here: " << setcap.err;
    auto as_nobody = [](const std::vector<std::string>& argv) {
        return kv::test::RunCommand(kv::test::AsNobody(argv), "/");
    };

    auto run = as_nobody({program / "SAFEBOOT.EXE", fs / "mnt"});
    if (run.exit_code == 3)
        GTEST_SKIP() << "file capabilities do not take effect here: " << run.err;
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, mounted.BootSector());
    // Anything but a mount point is refused, the image file behind it included.
    for (const std::string& attack : {std::string("/etc/shadow"), fs / "fs.img", fs.Path()}) {
        auto refused = as_nobody({program / "SAFEBOOT.EXE", attack});
        EXPECT_NE(refused.exit_code, 0) << attack;
        EXPECT_TRUE(refused.out.empty()) << attack;
    }

    auto scan = as_nobody({program / "kestravo-scan", "--db", program / "db", fs / "mnt"});
    EXPECT_NE(scan.out.find("Boot.Test"), std::string::npos) << scan.out;
    EXPECT_EQ(scan.err.find("not scanned"), std::string::npos) << scan.err;

    ASSERT_EQ(
        kv::test::RunCommand({"/bin/sh", "-c", "setcap -r '" + program / "SAFEBOOT.EXE" + "'"})
            .exit_code,
        0);
    scan = as_nobody({program / "kestravo-scan", "--db", program / "db", fs / "mnt", fs / "mnt"});
    EXPECT_EQ(scan.out.find("Boot.Test"), std::string::npos);
    // One line for the mount point, however often it is scanned, and no device error.
    std::size_t first = scan.err.find("boot sector of " + fs / "mnt/" + " not scanned");
    EXPECT_NE(first, std::string::npos) << scan.err;
    EXPECT_EQ(scan.err.find("boot sector of", first + 1), std::string::npos) << scan.err;
    EXPECT_EQ(scan.err.find("/dev/"), std::string::npos) << scan.err;
}

// Whatever it is given, the companion reads nothing but the boot area of a mount point, and
// writes no file.
TEST(SafebootCompanion, RefusesAnythingButAMountPoint) {
    TempDir dir;
    WriteFile(dir / "secret", std::string(600, 's'));
    kv::test::MakeFolders(dir / "folder");
    ASSERT_EQ(::symlink("/", (dir / "root-link").c_str()), 0);
    const std::string companion = kv::test::ProgramDir() + "SAFEBOOT.EXE";
    const std::vector<std::vector<std::string>> attacks = {
        {dir / "secret"},
        {"/dev/null"},
        {dir / "root-link"},
        {dir / "folder"},
        {"tmp"},
        {dir / "folder/../.."},
        {"--volume", dir / "secret", "/"},
        {"/", "/"},
    };
    for (const auto& args : attacks) {
        std::vector<std::string> argv = {companion};
        argv.insert(argv.end(), args.begin(), args.end());
        auto run = kv::test::RunCommand(argv, dir.Path());
        SCOPED_TRACE(args[0]);
        EXPECT_NE(run.exit_code, 0);
        EXPECT_TRUE(run.out.empty());
        EXPECT_NE(run.err.find("SAFEBOOT.EXE"), std::string::npos);
    }
    EXPECT_EQ(kv::test::RunCommand({"/bin/sh", "-c", "ls -A '" + dir.Path() + "' | wc -l"}).out,
              "3\n");
    auto help = kv::test::RunCommand({companion, "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("setcap"), std::string::npos);
}

}  // namespace
}  // namespace kv
