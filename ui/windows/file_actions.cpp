#include "ui/windows/file_actions.h"

#include <fcntl.h>
#include <stdio.h>
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

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length in bytes of the UTF-8 character at `at`: its first byte and the continuation
// bytes after it (at most three).
std::size_t CharacterLength(const std::string& text, std::size_t at) {
    std::size_t end = at + 1;
    while (end < text.size() && end - at < 4 &&
           IsContinuation(static_cast<unsigned char>(text[end])))
        ++end;
    return end - at;
}

std::size_t CharacterCount(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); at += CharacterLength(text, at)) ++count;
    return count;
}

// Copies from the verified source into a new entry of `destination`; the name used goes to
// `copy_name`.
ActionResult CopyFrom(const ScannedFileHandle& source, int destination,
                      const struct stat& source_stat, const struct stat& destination_stat,
                      std::string& copy_name) {
    mode_t mode = source_stat.st_mode & 0777;
    if (destination_stat.st_mode & (S_IRWXG | S_IRWXO)) mode &= 0600;

    // Created exclusively and never through a link: an existing name, a link or a dangling
    // link in the destination is passed over for the next free name.
    int fd = -1;
    std::string name;
    for (int n = 1; n <= kMaxCopyNames && fd < 0; ++n) {
        name = NumberedName(source.Name(), n);
        fd = ::openat(destination, name.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0 && errno != EEXIST) return ActionResult::kFailed;
    }
    Descriptor out(fd);
    if (!out.Valid()) return ActionResult::kFailed;

    std::vector<char> block(kCopyBlockSize);
    bool ok = ::lseek(source.Descriptor(), 0, SEEK_SET) == 0;
    while (ok) {
        const ssize_t got = ::read(source.Descriptor(), block.data(), block.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (got == 0) break;
        ok = WriteAll(out.Get(), block.data(), static_cast<std::size_t>(got));
    }
    // The mode is set last, so that nobody else can read a copy before it is whole.
    ok = ok && ::fchmod(out.Get(), mode) == 0 && ::fsync(out.Get()) == 0;
    ok = out.Close() && ok;
    if (!ok) {
        // A half-written copy must not pass for the file: a move would delete the source.
        ::unlinkat(destination, name.c_str(), 0);
        return ActionResult::kFailed;
    }
    copy_name = name;
    return ActionResult::kDone;
}

ActionResult Copy(const ScannedFileHandle& source, const std::string& destination_folder,
                  std::string& copy_name) {
    struct stat source_stat;
    if (::fstat(source.Descriptor(), &source_stat) != 0) return ActionResult::kFailed;
    Descriptor destination(platform::OpenFolderNoFollow(destination_folder));
    if (!destination.Valid()) return ActionResult::kFailed;
    struct stat destination_stat, folder_stat;
    if (::fstat(destination.Get(), &destination_stat) != 0 ||
        ::fstat(source.Folder(), &folder_stat) != 0)
        return ActionResult::kFailed;
    if (destination_stat.st_dev == folder_stat.st_dev &&
        destination_stat.st_ino == folder_stat.st_ino)
        return ActionResult::kSameFolder;
    return CopyFrom(source, destination.Get(), source_stat, destination_stat, copy_name);
}

}  // namespace

ScannedFileHandle::~ScannedFileHandle() {
    if (fd_ >= 0) ::close(fd_);
    if (folder_fd_ >= 0) ::close(folder_fd_);
}

bool ScannedFileHandle::Open(const platform::ScannedFile& scanned, bool for_reading) {
    if (scanned.name.empty() || scanned.name.find('/') != std::string::npos ||
        scanned.name == "." || scanned.name == "..")
        return false;
    folder_fd_ = platform::OpenFolderNoFollow(scanned.folder);
    if (folder_fd_ < 0) return false;
    // Not blocking: a FIFO put in the file's place must not hang the action.
    fd_ = ::openat(
        folder_fd_, scanned.name.c_str(),
        (for_reading ? O_RDONLY | O_NONBLOCK | O_NOCTTY : O_PATH) | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0) return false;
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_dev != scanned.device || st.st_ino != scanned.inode) return false;
    name_ = scanned.name;
    device_ = scanned.device;
    inode_ = scanned.inode;
    return true;
}

bool ScannedFileHandle::StillThere() const {
    struct stat st;
    return folder_fd_ >= 0 && !name_.empty() &&
           ::fstatat(folder_fd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode) && st.st_dev == device_ && st.st_ino == inode_;
}

ActionResult CopyScannedFile(const platform::ScannedFile& source,
                             const std::string& destination_folder, std::string& copy_name) {
    ScannedFileHandle handle;
    if (!handle.Open(source, true)) return ActionResult::kNotTheScannedFile;
    return Copy(handle, destination_folder, copy_name);
}

ActionResult MoveScannedFile(const platform::ScannedFile& source,
                             const std::string& destination_folder, std::string& copy_name) {
    ScannedFileHandle handle;
    if (!handle.Open(source, true)) return ActionResult::kNotTheScannedFile;
    const ActionResult copied = Copy(handle, destination_folder, copy_name);
    if (copied != ActionResult::kDone) return copied;
    // Removed by its name in the folder already verified, and only while the name still
    // holds the file: moved means the source is gone.
    if (handle.StillThere() && ::unlinkat(handle.Folder(), handle.Name().c_str(), 0) == 0)
        return ActionResult::kDone;
    return ActionResult::kCopiedOnly;
}

ActionResult DeleteScannedFile(const platform::ScannedFile& file) {
    ScannedFileHandle handle;
    if (!handle.Open(file)) return ActionResult::kNotTheScannedFile;
    if (::unlinkat(handle.Folder(), handle.Name().c_str(), 0) != 0) return ActionResult::kFailed;
    return ActionResult::kDone;
}

ActionResult RenameScannedFile(platform::ScannedFile& file) {
    ScannedFileHandle handle;
    if (!handle.Open(file)) return ActionResult::kNotTheScannedFile;
    const std::string renamed = InfectedFileNewName(file.name);
    if (renamed == file.name) return ActionResult::kDone;
    const int folder = handle.Folder();
    if (::renameat2(folder, file.name.c_str(), folder, renamed.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return ActionResult::kFailed;
        // A file system without the no-replace rename: a hard link under the new name fails
        // on a taken name just the same; then the old name goes.
        if (::linkat(folder, file.name.c_str(), folder, renamed.c_str(), 0) != 0)
            return ActionResult::kFailed;
        ::unlinkat(folder, file.name.c_str(), 0);
    }
    file.name = renamed;
    return ActionResult::kDone;
}

std::string InfectedFileNewName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < name_start) return path + ".VIR";
    const std::string stem = path.substr(0, dot);
    const std::string extension = path.substr(dot + 1);
    if (CharacterCount(extension) <= 1) return stem + ".VIR";
    return stem + ".V" + extension.substr(CharacterLength(extension, 0));
}

std::string NumberedName(const std::string& name, int n) {
    if (n <= 1) return name;
    // The number goes before the extension; a leading point starts no extension.
    const std::size_t dot = name.find_last_of('.');
    const std::string suffix = " (" + std::to_string(n) + ")";
    if (dot == std::string::npos || dot == 0) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

}  // namespace kv
