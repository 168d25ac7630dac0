#include "platform/block_device.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
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

}  // namespace

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
    if (numbers.empty() || numbers.rfind("0:", 0) == 0) return false;  // major 0: no device

    std::string sys = "/sys/dev/block/" + numbers;
    std::string link = ReadLink(sys);
    if (link.empty()) return false;
    std::string name = BaseName(link);
    devices.volume = "/dev/" + name;
    devices.disk = devices.volume;
    struct stat st;
    if (::stat((sys + "/partition").c_str(), &st) == 0) {
        // A partition's sysfs folder lies inside its disk's folder.
        std::string parent = link.substr(0, link.size() - name.size());
        while (!parent.empty() && parent.back() == '/') parent.pop_back();
        std::string disk = BaseName(parent);
        if (!disk.empty()) devices.disk = "/dev/" + disk;
    }
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

SectorRead ReadFirstSector(const std::string& device, unsigned char (&sector)[512]) {
    SectorRead result;
    int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return result;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode))) {
        ::close(fd);
        return result;
    }
    result.opened = true;
    std::size_t done = 0;
    while (done < sizeof sector) {
        ssize_t n = ::pread(fd, sector + done, sizeof sector - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    result.read = (done == sizeof sector);
    return result;
}

}  // namespace kv::platform
