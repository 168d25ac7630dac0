#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace kv::platform {

namespace {}  // namespace

std::string WithTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/') path.push_back('/');
    return path;
}

std::string ProgramFolder() {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return "./";
    std::string exe(buffer.data(), static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return "./";
    return exe.substr(0, slash + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

std::string FindNameIgnoringCase(int folder_fd, const std::string& name) {
    // A descriptor of its own for the listing, so the caller's stays where it is.
    const int copy = ::openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) return "";
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        ::close(copy);
        return "";
    }
    std::string found;
    while (struct dirent* entry = ::readdir(dir)) {
        if (EqualsIgnoringCase(entry->d_name, name)) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

std::string ResolveCaseInsensitive(const std::string& folder, const std::string& name) {
    std::string exact = folder + name;
    struct stat st;
    if (::stat(exact.c_str(), &st) == 0) return exact;
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return exact;
    const std::string found = FindNameIgnoringCase(fd, name);
    ::close(fd);
    return found.empty() ? exact : folder + found;
}

std::string TempFolder() {
    const char* tmp = ::getenv("TMPDIR");
    if (tmp != nullptr && tmp[0] != '\0') return WithTrailingSlash(tmp);
    return "/tmp/";
}

bool IsMountRoot(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return false;
    std::string real = resolved;
    if (real == "/") return true;
    struct stat self, parent;
    if (::stat(real.c_str(), &self) != 0 || !S_ISDIR(self.st_mode)) return false;
    std::string up = real + "/..";
    if (::stat(up.c_str(), &parent) != 0) return false;
    return self.st_dev != parent.st_dev;
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

ScannedFile DescribeScannedFile(int folder_fd, const std::string& path, std::uint64_t device,
                                std::uint64_t inode) {
    ScannedFile file;
    file.device = device;
    file.inode = inode;
    std::string full = path;
    if (folder_fd >= 0) {
        // The folder as it is open, not the walk's text for it, which may pass through links.
        const std::string link = "/proc/self/fd/" + std::to_string(folder_fd);
        std::vector<char> buffer(PATH_MAX + 1);
        const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size() - 1);
        const std::size_t slash = path.find_last_of('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (n > 0 && buffer[0] == '/')
            full = WithTrailingSlash(std::string(buffer.data(), n)) + name;
    } else {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved != nullptr) {
            full = resolved;
            ::free(resolved);
        }
    }
    const std::size_t slash = full.find_last_of('/');
    if (slash == std::string::npos) {
        file.name = full;
    } else {
        file.folder = full.substr(0, slash + 1);
        file.name = full.substr(slash + 1);
    }
    return file;
}

int OpenFolderNoFollow(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t start = 1;
    while (fd >= 0 && start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            // A path the scan recorded has none; refused rather than judged.
            ::close(fd);
            errno = EINVAL;
            return -1;
        }
        const int next =
            ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        ::close(fd);
        errno = saved;
        fd = next;
    }
    return fd;
}

std::string PrintableName(std::string name) {
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return name;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// ---- File ----

File::~File() {
    Close();
}

File::File(File&& other) noexcept
    : fd_(other.fd_),
      opened_size_(other.opened_size_),
      owned_(other.owned_),
      size_asked_(other.size_asked_),
      identity_(other.identity_) {
    other.fd_ = -1;
    other.identity_ = Identity{};
    other.opened_size_ = -1;
    other.owned_ = true;
    other.size_asked_ = false;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        opened_size_ = other.opened_size_;
        owned_ = other.owned_;
        size_asked_ = other.size_asked_;
        identity_ = other.identity_;
        other.identity_ = Identity{};
        other.fd_ = -1;
        other.opened_size_ = -1;
        other.owned_ = true;
        other.size_asked_ = false;
    }
    return *this;
}

namespace {

// Opens without blocking (a FIFO would otherwise wait for a writer), then keeps the
// descriptor only for a regular file. `size` receives its size. The descriptor keeps
// O_NONBLOCK, which has no effect on a regular file under Linux (reads and writes of regular
// files wait for the disk whatever it says): clearing it would cost a system call per file.
int OpenRegular(const std::string& path, int flags, mode_t mode = 0, std::int64_t* size = nullptr,
                int folder_fd = AT_FDCWD, std::uint64_t* device = nullptr,
                std::uint64_t* inode = nullptr) {
    int fd = ::openat(folder_fd, path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    if (size != nullptr) *size = st.st_size;
    if (device != nullptr) *device = st.st_dev;
    if (inode != nullptr) *inode = st.st_ino;
    return fd;
}

}  // namespace

bool File::OpenRead(const std::string& path, bool follow_links) {
    Close();
    fd_ = OpenRegular(path, O_RDONLY | (follow_links ? 0 : O_NOFOLLOW), 0, &opened_size_, AT_FDCWD,
                      &identity_.device, &identity_.inode);
    identity_.known = fd_ >= 0;
    return fd_ >= 0;
}

bool File::OpenReadIn(int folder_fd, const std::string& name) {
    Close();
    // One system call per file of a walk: the fstat that OpenRegular makes waits for
    // KnownSize(), which most program files never need (a short first block or an EXE header
    // gives the length that counts).
    fd_ = ::openat(folder_fd, name.c_str(),
                   O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    return fd_ >= 0;
}

void File::Borrow(const File& other, std::int64_t size) {
    Close();
    if (other.fd_ < 0) return;
    fd_ = other.fd_;
    owned_ = false;
    opened_size_ = std::max<std::int64_t>(size, 0);
    size_asked_ = true;
}

std::int64_t File::KnownSize() {
    if (fd_ < 0) return -1;
    if (opened_size_ >= 0 || size_asked_) return opened_size_;
    size_asked_ = true;
    struct stat st;
    if (::fstat(fd_, &st) == 0) {
        if (S_ISREG(st.st_mode)) opened_size_ = st.st_size;
        identity_ = Identity{st.st_dev, st.st_ino, true};
    }
    return opened_size_;
}

bool File::DeviceAndInode(std::uint64_t& device, std::uint64_t& inode) {
    if (fd_ < 0) return false;
    if (!identity_.known) {
        struct stat st;
        if (::fstat(fd_, &st) != 0) return false;
        identity_ = Identity{st.st_dev, st.st_ino, true};
    }
    device = identity_.device;
    inode = identity_.inode;
    return true;
}

bool File::OpenReadWrite(const std::string& path) {
    Close();
    fd_ = OpenRegular(path, O_RDWR);
    return fd_ >= 0;
}

bool File::Create(const std::string& path) {
    Close();
    fd_ = OpenRegular(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    return fd_ >= 0;
}

bool File::OpenAppend(const std::string& path) {
    Close();
    fd_ = OpenRegular(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    return fd_ >= 0;
}

void File::Adopt(int fd) {
    Close();
    fd_ = fd;
}

long File::Read(void* buffer, std::size_t count) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, count);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

long File::ReadFull(void* buffer, std::size_t count) {
    std::size_t done = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (done < count) {
        long n = Read(bytes + done, count - done);
        if (n < 0) return done > 0 ? static_cast<long>(done) : -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

long File::ReadAt(void* buffer, std::size_t count, std::int64_t offset) {
    if (fd_ < 0 || offset < 0) return -1;
    if (opened_size_ >= 0) {
        if (offset >= opened_size_) return 0;
        count = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(count), opened_size_ - offset));
    }
    std::size_t done = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (done < count) {
        const ssize_t n = ::pread(fd_, bytes + done, count - done,
                                  static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done > 0 ? static_cast<long>(done) : -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
        // Of a file whose size is not known, a short read is taken for its end (a regular file
        // gives less than was asked only there): no further call is made to hear that again.
        if (opened_size_ < 0 && done < count) break;
    }
    return static_cast<long>(done);
}

bool File::WriteAll(const void* buffer, std::size_t count) {
    if (fd_ < 0) return false;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (count > 0) {
        ssize_t n = ::write(fd_, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool File::WriteAllAt(const void* buffer, std::size_t count, std::int64_t offset) {
    if (fd_ < 0 || offset < 0) return false;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::pwrite(fd_, bytes, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        offset += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool File::Seek(std::int64_t offset) {
    if (fd_ < 0 || offset < 0) return false;
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

std::int64_t File::Position() const {
    if (fd_ < 0) return -1;
    return ::lseek(fd_, 0, SEEK_CUR);
}

std::int64_t File::Size() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

void File::Close() {
    if (fd_ >= 0 && owned_) ::close(fd_);
    fd_ = -1;
    opened_size_ = -1;
    owned_ = true;
    size_asked_ = false;
    identity_ = Identity{};
}

// ---- ReadCache ----

long ReadCache::ReadAt(File& file, std::int64_t size, void* buffer, std::size_t count,
                       std::int64_t offset) {
    if (offset < 0) return -1;
    if (offset >= size || count == 0) return 0;
    count = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(count), size - offset));
    for (Slot& slot : slots_) {
        if (slot.offset >= 0 && offset >= slot.offset &&
            offset + static_cast<std::int64_t>(count) <=
                slot.offset + static_cast<std::int64_t>(slot.length)) {
            std::memcpy(buffer, slot.bytes.get() + (offset - slot.offset), count);
            slot.used = ++clock_;
            return static_cast<long>(count);
        }
    }
    const bool whole = size <= static_cast<std::int64_t>(kWholeFile);
    if (!whole && count >= kBlock) return file.ReadAt(buffer, count, offset);
    Slot& slot = slots_[0].used <= slots_[1].used ? slots_[0] : slots_[1];
    const std::int64_t from = whole ? 0 : offset;
    const std::size_t length = static_cast<std::size_t>(
        whole ? size : std::min<std::int64_t>(static_cast<std::int64_t>(kBlock), size - offset));
    if (slot.capacity < length) {
        slot.bytes.reset(new (std::nothrow) unsigned char[length]);
        slot.capacity = slot.bytes ? length : 0;
    }
    slot.offset = -1;
    if (!slot.bytes) return file.ReadAt(buffer, count, offset);
    const long got = file.ReadAt(slot.bytes.get(), length, from);
    if (got < 0) return -1;
    slot.length = static_cast<std::size_t>(got);
    slot.offset = from;
    slot.used = ++clock_;
    const std::int64_t available = from + got - offset;
    if (available <= 0) return 0;
    const std::size_t n = std::min(count, static_cast<std::size_t>(available));
    std::memcpy(buffer, slot.bytes.get() + (offset - from), n);
    return static_cast<long>(n);
}

void ReadCache::Clear() {
    for (Slot& slot : slots_) {
        slot.offset = -1;
        slot.length = 0;
    }
}

// ---- TempFile ----

TempFile::TempFile(const std::string& prefix) {
    std::string pattern = TempFolder() + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);  // exclusive, mode 0600
    if (fd >= 0) {
        path_ = name.data();
        file_.Adopt(fd);
    }
}

TempFile::~TempFile() {
    Remove();
}

void TempFile::Remove() {
    file_.Close();
    if (!path_.empty()) {
        ::unlink(path_.c_str());
        path_.clear();
    }
}

}  // namespace kv::platform
