#include "update/staged_file.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/files.h"

namespace kv::update {

namespace {

// A hidden name that no one can guess in advance: a local user who could create it first
// would only make the exclusive create fail.
std::string TemporaryName() {
    static const char kHex[] = "0123456789abcdef";
    unsigned char random[8];
    randombytes_buf(random, sizeof random);
    std::string name = ".kestravo-";
    for (unsigned char b : random) {
        name += kHex[b >> 4];
        name += kHex[b & 15];
    }
    return name;
}

}  // namespace

Folder::~Folder() {
    if (fd_ >= 0) ::close(fd_);
}

Folder::Folder(Folder&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

bool Folder::Open(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd_ >= 0;
}

bool Folder::OpenBelow(const Folder& parent, const std::string& name) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::openat(parent.fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd_ >= 0;
}

std::string Folder::Resolve(const std::string& name) const {
    struct stat st {};
    if (fd_ < 0 || ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return name;
    const std::string found = platform::FindNameIgnoringCase(fd_, name);
    return found.empty() ? name : found;
}

bool StagedFile::Create(const Folder& folder) {
    Discard();
    if (!folder.IsOpen() || sodium_init() < 0) return false;
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = TemporaryName();
        const int fd = ::openat(folder.Descriptor(), name.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            folder_fd_ = folder.Descriptor();
            name_ = std::move(name);
            file_.Adopt(fd);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool StagedFile::Commit(const std::string& name, unsigned mode) {
    if (!file_.IsOpen() || name_.empty()) return false;
    const int fd = file_.Descriptor();
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0 || ::fsync(fd) != 0 ||
        ::renameat(folder_fd_, name_.c_str(), folder_fd_, name.c_str()) != 0) {
        Discard();
        return false;
    }
    name_.clear();
    ::fsync(folder_fd_);  // the rename itself reaches the disk
    return true;
}

void StagedFile::Discard() {
    if (!name_.empty()) {
        ::unlinkat(folder_fd_, name_.c_str(), 0);
        name_.clear();
    }
    file_.Close();
}

}  // namespace kv::update
