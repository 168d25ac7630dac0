// The folder listing of the scan walk: regular files and folders only, in the file system's
// order. Symbolic links, devices, FIFOs and sockets are never listed, and a folder that lies
// on a pseudo file system (proc, sysfs, ...) lists nothing, so the walk never descends there.
#pragma once

#include <dirent.h>

#include <string>

namespace kv::platform {

struct FolderEntry {
    std::string name;
    bool is_folder = false;
};

class FolderListing {
public:
    // `folder` may or may not end in '/'. A folder that cannot be opened lists nothing.
    explicit FolderListing(const std::string& folder);
    ~FolderListing();
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;

    // The next entry ("." and ".." included, as the file system gives them); false at the end.
    bool Next(FolderEntry& entry);
    // The open folder, for opening its entries by name (File::OpenReadIn); -1 when the folder
    // could not be opened.
    int Descriptor() const { return dir_ != nullptr ? ::dirfd(dir_) : -1; }

private:
    DIR* dir_ = nullptr;
};

// Whether the file system holding the open descriptor is a pseudo file system.
bool IsPseudoFileSystem(int fd);

}  // namespace kv::platform
