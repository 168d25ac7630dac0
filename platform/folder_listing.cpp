#include "platform/folder_listing.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace kv::platform {

namespace {

// Magic numbers of pseudo file systems not all of which <linux/magic.h> spells out.
constexpr unsigned long kPseudoMagics[] = {
    PROC_SUPER_MAGIC,
    SYSFS_MAGIC,
    0x01021994UL /* tmpfs-based devtmpfs */,
    DEVPTS_SUPER_MAGIC,
    CGROUP_SUPER_MAGIC,
    CGROUP2_SUPER_MAGIC,
    DEBUGFS_MAGIC,
    TRACEFS_MAGIC,
    SECURITYFS_MAGIC,
    PSTOREFS_MAGIC,
    BPF_FS_MAGIC,
    0x62656570UL /* configfs */,
    0x65735543UL /* fusectl */,
    0x19800202UL /* mqueue */,
    HUGETLBFS_MAGIC,
    0x42494e4dUL /* binfmt_misc */,
    EFIVARFS_MAGIC,
    0x0187UL /* autofs */,
};

bool IsDevTmpfs(int fd) {
    // devtmpfs shares tmpfs's magic; it is told apart by being mounted on /dev.
    struct stat st, dev;
    return ::fstat(fd, &st) == 0 && ::stat("/dev", &dev) == 0 && st.st_dev == dev.st_dev;
}

}  // namespace

bool IsPseudoFileSystem(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    unsigned long magic = static_cast<unsigned long>(fs.f_type);
    if (magic == 0x01021994UL) return IsDevTmpfs(fd);
    for (unsigned long m : kPseudoMagics) {
        if (m == magic) return true;
    }
    return false;
}

FolderListing::FolderListing(const std::string& folder) {
    int fd = ::open(folder.empty() ? "." : folder.c_str(),
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    if (IsPseudoFileSystem(fd)) {
        ::close(fd);
        return;
    }
    dir_ = ::fdopendir(fd);
    if (dir_ == nullptr) ::close(fd);
}

FolderListing::~FolderListing() {
    if (dir_ != nullptr) ::closedir(dir_);
}

bool FolderListing::Next(FolderEntry& entry) {
    if (dir_ == nullptr) return false;
    while (struct dirent* d = ::readdir(dir_)) {
        unsigned char type = d->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(::dirfd(dir_), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISREG(st.st_mode))
                type = DT_REG;
            else if (S_ISDIR(st.st_mode))
                type = DT_DIR;
            else
                continue;
        }
        if (type != DT_REG && type != DT_DIR) continue;
        entry.name = d->d_name;
        entry.is_folder = (type == DT_DIR);
        return true;
    }
    return false;
}

}  // namespace kv::platform
