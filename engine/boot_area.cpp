// The boot-area scan of a drive root: the boot sector of the file system's device and, when
// it lies in a partition, the first sector of its disk (the partition sector). The sectors are
// read directly when the device may be opened; otherwise the companion program SAFEBOOT.EXE,
// which a user can give the right to read disks, delivers them in a file.
#include <cstring>

#include "engine/engine.h"
#include "platform/block_device.h"
#include "platform/files.h"
#include "platform/process.h"
#include "ui/catalogue/catalogue.h"
#include "ui/report/report.h"

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
    platform::SectorRead direct = platform::ReadFirstSector(devices.volume, boot);
    if (direct.read) {
        std::memcpy(sectors, boot, kSector);
        delivered = kSector;
        unsigned char partition[kSector];
        if (!devices.disk.empty() && devices.disk != devices.volume &&
            platform::ReadFirstSector(devices.disk, partition).read) {
            std::memcpy(sectors + kSector, partition, kSector);
            delivered = 2 * kSector;
        }
    }

    ui_.SetProgressCaption(catalogue_.Text(189) + " boot sector " + root);
    ui_.PumpEvents();

    if (delivered == 0) {
        // The companion's file of an earlier run must not pass for this one's.
        const std::string file_name = database_folder_ + "SAFEBOOT";
        platform::RemoveFile(file_name);
        platform::ProgramResult run = platform::RunProgram(
            {database_folder_ + "SAFEBOOT.EXE", root}, database_folder_, CompanionTimeoutMs);
        if (run.started && !run.timed_out) {
            platform::File file;
            if (file.OpenRead(file_name)) {
                long got = file.ReadFull(sectors, sizeof sectors);
                if (got > 0) delivered = static_cast<std::size_t>(got);
            }
        }
    }

    if (delivered > 0) {
        // A companion file shorter than a sector leaves zeros behind its bytes.
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
