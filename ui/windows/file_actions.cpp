#include "ui/windows/file_actions.h"

#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kv {

namespace {

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Closes now and tells whether the close went through (a delayed write error shows here).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, const char* data, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, data, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        data += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

int CopyInfectedFile(const std::string& source, const std::string& destination_folder) {
    const std::string target = destination_folder + FileNameOf(source);
    if (::strcasecmp(target.c_str(), source.c_str()) == 0) return -1;

    Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!in.Valid()) return 1;
    struct stat source_stat;
    // Only a regular file is copied: a FIFO or a device would block or never end.
    if (::fstat(in.Get(), &source_stat) != 0 || !S_ISREG(source_stat.st_mode)) return 1;
    const int flags = ::fcntl(in.Get(), F_GETFL);
    if (flags >= 0) ::fcntl(in.Get(), F_SETFL, flags & ~O_NONBLOCK);

    // The target is opened without truncating it, so that the source itself, reached through
    // a link or another spelling of its folder, is recognised before any byte of it is lost.
    bool created = false;
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        created = true;
    } else if (errno == EEXIST) {
        fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    }
    Descriptor out(fd);
    if (!out.Valid()) return 2;
    struct stat target_stat;
    if (::fstat(out.Get(), &target_stat) != 0) return 2;
    if (target_stat.st_dev == source_stat.st_dev && target_stat.st_ino == source_stat.st_ino)
        return -1;
    if (!S_ISREG(target_stat.st_mode) || ::ftruncate(out.Get(), 0) != 0) {
        if (created) ::unlink(target.c_str());
        return 2;
    }

    std::vector<char> block(kCopyBlockSize);
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(in.Get(), block.data(), block.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (got == 0) break;
        if (!WriteAll(out.Get(), block.data(), static_cast<std::size_t>(got))) {
            ok = false;
            break;
        }
    }
    ok = out.Close() && ok;
    if (!ok) {
        // A half-written copy must not pass for the file: a move would delete the source.
        ::unlink(target.c_str());
        return 3;
    }
    return 0;
}

std::string InfectedFileNewName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < name_start) return path + ".VIR";
    const std::string stem = path.substr(0, dot);
    std::string extension = path.substr(dot);
    if (extension.size() <= 2) return stem + ".VIR";
    extension[1] = 'V';
    return stem + extension;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to) {
    if (from == to) {
        struct stat st;
        return ::lstat(from.c_str(), &st) == 0;
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace rename: look first, then rename.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace kv
