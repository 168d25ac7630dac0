// SAFEBOOT.EXE: the companion program that reads the boot area of a mounted file system for
// the scanner when the scanner itself may not read raw disks. It is a separate program so
// that it alone can be given the right to read block devices.
//
//   SAFEBOOT.EXE PATH
//
// finds the block device holding the file system mounted at PATH and the whole disk it lies
// on, and writes into the current folder the file "SAFEBOOT": the file system's boot sector
// (512 bytes), followed by the disk's first sector (512 bytes) when the file system lies in a
// partition and that sector can be read.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/block_device.h"
#include "platform/files.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoDevice = 2;
constexpr int kExitUnreadable = 3;
constexpr int kExitUnwritable = 4;

void Usage(FILE* out) {
    std::fputs(
        "Usage: SAFEBOOT.EXE PATH\n"
        "Writes the boot sector of the file system mounted at PATH (512 bytes), followed by\n"
        "the first sector of the disk it lies on (512 bytes) when it lies in a partition,\n"
        "into the file SAFEBOOT in the current folder.\n"
        "\n"
        "Options (for tests and for devices the system cannot name):\n"
        "  --volume DEVICE    read the boot sector from DEVICE (a block device or image file)\n"
        "  --disk DEVICE      read the disk's first sector from DEVICE\n"
        "\n"
        "Rights: it needs read access to the block devices. Run it as root, or give this\n"
        "program alone that right, for example:\n"
        "  sudo setcap cap_dac_read_search+ep SAFEBOOT.EXE\n"
        "(the capability lets it read any file, so keep the program folder writable only by\n"
        "root). Only sector 0 of each device is read; nothing is ever written to a disk.\n"
        "\n"
        "Exit status: 0 written, 1 usage, 2 no block device for PATH, 3 the boot sector could\n"
        "not be read, 4 the file SAFEBOOT could not be written.\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path, volume, disk;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return kExitOk;
        } else if ((arg == "--volume" || arg == "--disk") && i + 1 < argc) {
            (arg == "--volume" ? volume : disk) = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            Usage(stderr);
            return kExitUsage;
        } else if (path.empty()) {
            path = arg;
        } else {
            Usage(stderr);
            return kExitUsage;
        }
    }
    if (path.empty() && volume.empty()) {
        Usage(stderr);
        return kExitUsage;
    }
    if (volume.empty()) {
        kv::platform::BlockDevices devices;
        if (!kv::platform::FindBlockDevices(path, devices)) {
            std::fprintf(stderr, "SAFEBOOT.EXE: no block device holds '%s'\n", path.c_str());
            return kExitNoDevice;
        }
        volume = devices.volume;
        if (disk.empty()) disk = devices.disk;
    }

    unsigned char boot[512], partition[512];
    if (!kv::platform::ReadFirstSector(volume, boot).read) {
        std::fprintf(stderr, "SAFEBOOT.EXE: cannot read '%s': %s\n", volume.c_str(),
                     std::strerror(errno));
        return kExitUnreadable;
    }
    bool with_partition =
        !disk.empty() && disk != volume && kv::platform::ReadFirstSector(disk, partition).read;

    // Written under a temporary name and renamed, so a reader never sees half a file.
    const std::string temp = "SAFEBOOT.part";
    kv::platform::File out;
    if (!out.Create(temp) || !out.WriteAll(boot, sizeof boot) ||
        (with_partition && !out.WriteAll(partition, sizeof partition))) {
        std::fprintf(stderr, "SAFEBOOT.EXE: cannot write SAFEBOOT: %s\n", std::strerror(errno));
        ::unlink(temp.c_str());
        return kExitUnwritable;
    }
    out.Close();
    if (::rename(temp.c_str(), "SAFEBOOT") != 0) {
        ::unlink(temp.c_str());
        return kExitUnwritable;
    }
    return kExitOk;
}
