// SAFEBOOT.EXE: the companion program that reads the boot area of a mounted file system for
// the scanner when the scanner itself may not read raw disks. It is a separate program so
// that it alone can be given the right to read block devices, and it is kept small because of
// that right: it takes nothing but a mount point, opens nothing but the block devices the
// system names for that mount point, gives up every capability before it reads, and writes
// only to its standard output. It reads no environment variable and no locale.
//
//   SAFEBOOT.EXE MOUNTPOINT
//
// writes the boot sector of the file system's device (512 bytes), followed by the first
// sector of the whole disk (512 bytes) when the file system lies in a partition and that
// sector can be read.
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/block_device.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoDevice = 2;
constexpr int kExitUnreadable = 3;
constexpr int kExitUnwritable = 4;
constexpr int kExitCapabilities = 5;

constexpr std::size_t kSector = 512;

void Usage(FILE* out) {
    std::fputs(
        "Usage: SAFEBOOT.EXE MOUNTPOINT\n"
        "Writes to standard output the boot sector of the file system mounted at MOUNTPOINT\n"
        "(512 bytes), followed by the first sector of the disk it lies on (512 bytes) when it\n"
        "lies in a partition. MOUNTPOINT is an absolute path without links that is a mount\n"
        "point of a file system on a block device; anything else is refused. The scanner runs\n"
        "this program itself and reads its output; nothing is written to any file or disk.\n"
        "\n"
        "Rights: reading a block device needs root or a capability. To let ordinary users have\n"
        "their boot sectors scanned, give this program alone the right to read them:\n"
        "  sudo chown root: SAFEBOOT.EXE\n"
        "  sudo setcap cap_dac_read_search+ep SAFEBOOT.EXE\n"
        "It opens only the block devices behind the mount point it is given (checked to be\n"
        "block devices with the numbers the system gives for that mount, before and after\n"
        "opening), drops every capability right after opening them, and reads only their\n"
        "first sector.\n"
        "\n"
        "Exit status: 0 the boot sector was written; 1 a bad argument (not a mount point);\n"
        "2 no block device holds the file system; 3 the boot sector could not be read;\n"
        "4 the output could not be written; 5 the capabilities could not be dropped.\n",
        out);
}

int Refuse(const char* what, const char* path) {
    std::fprintf(stderr, "SAFEBOOT.EXE: %s: %s\n", path, what);
    return kExitUsage;
}

// Gives up all capabilities (permitted, effective, inheritable; the ambient set goes with
// them) of this process.
bool DropCapabilities() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, data) != 0) return false;
    __user_cap_data_struct check[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, check) != 0) return false;
    for (const auto& word : check)
        if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0) return false;
    return true;
}

bool WriteAll(const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Usage(stdout);
        return kExitOk;
    }
    if (argc != 2 || argv[1][0] == '-') {
        Usage(stderr);
        return kExitUsage;
    }

    // The mount point: absolute and already in its resolved form (no link, ".", ".." or
    // doubled slash anywhere), so that what is checked is what was named. Trailing slashes
    // are allowed.
    std::string path = argv[1];
    if (path.empty() || path[0] != '/' || path.size() > 4096)
        return Refuse("not an absolute path", argv[1]);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (kv::platform::ResolvedPath(path) != path)
        return Refuse("not a path free of links and relative parts", argv[1]);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Refuse("not a folder", argv[1]);
    // access() checks with the rights of the user who ran the program, without the
    // capability: a folder that user cannot reach is not looked at.
    if (::access(path.c_str(), X_OK) != 0) return Refuse("not reachable by this user", argv[1]);

    kv::platform::BlockDevices devices;
    if (!kv::platform::FindBlockDevices(path, devices)) {
        std::fprintf(stderr,
                     "SAFEBOOT.EXE: %s: not a mount point of a file system on a block device\n",
                     argv[1]);
        return kExitNoDevice;
    }

    // Both devices are opened while the capability is held, then it is given up for good.
    int volume_fd = kv::platform::OpenBlockDevice(devices.volume, devices.volume_number);
    int volume_error = errno;
    int disk_fd = -1;
    if (volume_fd >= 0 && !devices.disk.empty() && devices.disk_number != devices.volume_number)
        disk_fd = kv::platform::OpenBlockDevice(devices.disk, devices.disk_number);
    if (!DropCapabilities()) {
        std::fputs("SAFEBOOT.EXE: cannot drop the capabilities\n", stderr);
        return kExitCapabilities;
    }
    if (volume_fd < 0) {
        std::fprintf(stderr, "SAFEBOOT.EXE: cannot open %s: %s\n", devices.volume.c_str(),
                     std::strerror(volume_error));
        return kExitUnreadable;
    }

    unsigned char sectors[2][kSector];
    if (!kv::platform::ReadSectorZero(volume_fd, sectors[0])) {
        std::fprintf(stderr, "SAFEBOOT.EXE: cannot read the first sector of %s\n",
                     devices.volume.c_str());
        return kExitUnreadable;
    }
    std::size_t count = 1;
    if (disk_fd >= 0 && kv::platform::ReadSectorZero(disk_fd, sectors[1])) count = 2;
    ::close(volume_fd);
    if (disk_fd >= 0) ::close(disk_fd);

    if (!WriteAll(&sectors[0][0], count * kSector)) {
        std::fputs("SAFEBOOT.EXE: cannot write the sectors to standard output\n", stderr);
        return kExitUnwritable;
    }
    return kExitOk;
}
