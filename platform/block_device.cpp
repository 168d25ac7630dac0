#include "platform/block_device.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/files.h"

namespace kv::platform {

namespace {

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return {};
    return resolved;
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ReadLink(const std::string& path) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    return std::string(target, static_cast<std::size_t>(n));
}

// "MAJOR:MINOR" as a device number; false for anything else.
bool ParseDeviceNumber(const std::string& text, dev_t& number) {
    unsigned long high = 0, low = 0;
    std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == colon) continue;
        char c = text[i];
        if (c < '0' || c > '9') return false;
        unsigned long& part = i < colon ? high : low;
        if (part > 0xFFFFFFul / 10) return false;
        part = part * 10 + static_cast<unsigned long>(c - '0');
    }
    number = makedev(high, low);
    return true;
}

// The node under /dev for a kernel device name from sysfs ("!" stands for "/" there, as in
// cciss!c0d0); empty for a name that could leave /dev.
std::string DevicePath(std::string name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return {};
    for (char& c : name)
        if (c == '!') c = '/';
    if (name.find("..") != std::string::npos) return {};
    return "/dev/" + name;
}

}  // namespace

std::string ResolvedPath(const std::string& path) {
    return RealPath(path);
}

std::string UnescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '7' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            out.push_back(static_cast<char>(value));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

bool FindBlockDevices(const std::string& mount_root, BlockDevices& devices) {
    std::string root = RealPath(mount_root);
    if (root.empty()) return false;
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line, numbers;
    // The last mount on a mount point is the one that is seen there.
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, dev, fs_root, mount_point;
        if (!(fields >> id >> parent >> dev >> fs_root >> mount_point)) continue;
        if (UnescapeMountField(mount_point) == root) numbers = dev;
    }
    dev_t volume_number = 0;
    if (!ParseDeviceNumber(numbers, volume_number)) return false;
    if (major(volume_number) == 0) return false;  // major 0: no device (tmpfs, overlay, ...)

    std::string sys = "/sys/dev/block/" + numbers;
    std::string link = ReadLink(sys);
    if (link.empty()) return false;
    std::string name = BaseName(link);
    BlockDevices found;
    found.volume = DevicePath(name);
    if (found.volume.empty()) return false;
    found.volume_number = volume_number;
    found.disk = found.volume;
    found.disk_number = volume_number;
    struct stat st;
    if (::stat((sys + "/partition").c_str(), &st) == 0) {
        // A partition's sysfs folder lies inside its disk's folder, which holds the disk's
        // number in its "dev" file.
        std::string parent = link.substr(0, link.size() - name.size());
        while (!parent.empty() && parent.back() == '/') parent.pop_back();
        std::string disk = DevicePath(BaseName(parent));
        std::ifstream dev_file(sys + "/../dev");
        std::string disk_numbers;
        dev_t disk_number = 0;
        if (!disk.empty() && std::getline(dev_file, disk_numbers) &&
            ParseDeviceNumber(disk_numbers, disk_number)) {
            found.disk = disk;
            found.disk_number = disk_number;
        } else {
            found.disk.clear();
            found.disk_number = 0;
        }
    }
    devices = found;
    return true;
}

std::string BlockDeviceMap::Key(const std::string& path) {
    std::string real = RealPath(path);
    return real.empty() ? path : real;
}

void BlockDeviceMap::Override(const std::string& root, BlockDevices devices) {
    overrides_[Key(root)] = std::move(devices);
}

bool BlockDeviceMap::IsDriveRoot(const std::string& path) const {
    return overrides_.count(Key(path)) != 0 || IsMountRoot(path);
}

bool BlockDeviceMap::Find(const std::string& root, BlockDevices& devices) const {
    auto it = overrides_.find(Key(root));
    if (it != overrides_.end()) {
        devices = it->second;
        return true;
    }
    return FindBlockDevices(root, devices);
}

}  // namespace kv::platform

namespace kv::platform {

int OpenBlockDevice(const std::string& path, dev_t number) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return -1;
    if (!S_ISBLK(st.st_mode) || st.st_rdev != number) {
        errno = ENOTBLK;
        return -1;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != number) {
        ::close(fd);
        errno = ENOTBLK;
        return -1;
    }
    return fd;
}

bool ReadSectorZero(int fd, unsigned char (&sector)[512]) {
    std::size_t done = 0;
    while (done < sizeof sector) {
        ssize_t n = ::pread(fd, sector + done, sizeof sector - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done == sizeof sector;
}

SectorRead ReadFirstSector(const std::string& device, dev_t number, unsigned char (&sector)[512]) {
    SectorRead result;
    int fd = -1;
    if (number != 0) {
        fd = OpenBlockDevice(device, number);
    } else {
        fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat st;
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)))) {
            ::close(fd);
            fd = -1;
            errno = ENOTBLK;
        }
    }
    if (fd < 0) {
        result.error = errno;
        return result;
    }
    result.opened = true;
    errno = 0;
    result.read = ReadSectorZero(fd, sector);
    if (!result.read) result.error = errno != 0 ? errno : EIO;
    ::close(fd);
    return result;
}

}  // namespace kv::platform
