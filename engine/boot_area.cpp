// The boot-area scan of a drive root: the boot sector of the file system's device and, when
// it lies in a partition, the first sector of its disk (the partition sector). The sectors are
// read directly when the device may be opened; otherwise the companion program SAFEBOOT.EXE,
// which a user can give the right to read disks, is run with the mount point and writes them
// to its standard output, which is read here through a pipe.
#include <cstring>

#include "catalogue/catalogue.h"
#include "engine/engine.h"
#include "platform/block_device.h"
#include "platform/process.h"
#include "report/report.h"

namespace kv {

namespace {

constexpr std::size_t kSector = 512;

}  // namespace

bool Engine::ScanBootArea(const std::string& root) {
    platform::BlockDevices devices;
    if (!BootDevices.Find(root, devices)) return false;

    // Room for the boot sector and the partition sector.
    unsigned char sectors[2 * kSector] = {};
    std::size_t delivered = 0;

    unsigned char boot[kSector];
    platform::SectorRead direct =
        platform::ReadFirstSector(devices.volume, devices.volume_number, boot);
    if (direct.read) {
        std::memcpy(sectors, boot, kSector);
        delivered = kSector;
        unsigned char partition[kSector];
        if (!devices.disk.empty() && devices.disk != devices.volume &&
            platform::ReadFirstSector(devices.disk, devices.disk_number, partition).read) {
            std::memcpy(sectors + kSector, partition, kSector);
            delivered = 2 * kSector;
        }
    }

    ui_.SetProgressCaption(catalogue_.Text(189) + " boot sector " + root);
    ui_.PumpEvents();

    if (delivered == 0) {
        // The companion takes the mount point itself (no trailing slash, no links), finds
        // its devices and writes the boot sector, then the partition sector when it has one.
        // Its sectors count only when it says so with status 0; anything else, including more
        // than two sectors, is no boot area at all.
        BootAreaProblem problem;
        problem.device_error = direct.error;
        const std::string folder = CompanionFolder.empty() ? database_folder_ : CompanionFolder;
        std::string mount_point = platform::ResolvedPath(root);
        if (mount_point.empty()) mount_point = root;
        std::string output;
        platform::ProgramResult run =
            platform::RunProgramForOutput({folder + "SAFEBOOT.EXE", mount_point}, folder,
                                          CompanionTimeoutMs, sizeof sectors, output);
        problem.companion_exit_code = run.exit_code;
        problem.companion_bytes = output.size();
        if (!run.started) {
            problem.companion = BootAreaProblem::Companion::kMissing;
        } else if (run.timed_out) {
            problem.companion = BootAreaProblem::Companion::kTimedOut;
        } else if (run.too_much_output) {
            problem.companion = BootAreaProblem::Companion::kTooMuchOutput;
        } else if (run.exit_code != 0) {
            problem.companion = BootAreaProblem::Companion::kFailed;
        } else if (output.size() < kSector) {
            problem.companion = BootAreaProblem::Companion::kShort;
        } else {
            std::memcpy(sectors, output.data(), output.size());
            delivered = output.size();
        }
        if (delivered == 0) ui_.BootAreaNotScanned(root, problem);
    }

    if (delivered > 0) {
        const char* texts[2] = {"Boot Sector ", "Partition "};
        const int passes = delivered == 2 * kSector ? 2 : 1;
        for (int pass = 0; pass < passes; ++pass) {
            kernel_.LoadBlock(sectors + pass * kSector, kSector, MatchKernel::kClassBoot, kSector);
            kernel_.ScanWindow(MatchKernel::kModeAll);
            if (kernel_.HitCount() > 0) {
                database_.DecodeVirusName(kernel_.HitAt(0).record);
                report_.AddReportLine(texts[pass], database_.VirusName(), kind::InfectedBootArea);
                Counters[ScanCounters::VirusesFound] += 1;
            }
        }
        RestoreEngineWindow();
    }
    return direct.opened;
}

}  // namespace kv
