// The file work of the action window on one infected file: copy into a folder, move, delete,
// rename. Plain POSIX, no window system, so the rules can be checked on real files.
//
// Every action reaches the file through what the scan recorded of it (platform::ScannedFile),
// never through the text of a report line: the folder is opened from "/" without following
// any link, the entry is opened in it without following a link, and the action goes on only
// when that is still the file the scan met (same device and inode). A copy never writes
// through a name that exists in the destination: a taken name gets a free one instead, and
// nothing there is ever replaced.
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace kv {

// Bytes moved per read and write of a copy.
inline constexpr std::size_t kCopyBlockSize = 8193;
// How many names a copy tries in the destination: the file's own, then "name (2).ext" and on.
inline constexpr int kMaxCopyNames = 1000;

enum class ActionResult {
    kDone,               // the action was carried out
    kCopiedOnly,         // a move whose source could not be removed: the copy stays
    kSameFolder,         // copy or move into the file's own folder: refused, nothing done
    kNotTheScannedFile,  // the file is gone, moved, or no longer the one the scan met
    kFailed,             // anything else (no destination, no free name, a read or write failed)
};

// A file the scan met, opened again for an action. Closes what it opened.
class ScannedFileHandle {
public:
    ScannedFileHandle() = default;
    ~ScannedFileHandle();
    ScannedFileHandle(const ScannedFileHandle&) = delete;
    ScannedFileHandle& operator=(const ScannedFileHandle&) = delete;

    // Opens the folder without links and the entry in it without following a link; true only
    // for a regular file with the recorded device and inode. Without `for_reading` the entry
    // is only located (O_PATH), which needs no read permission on the file: enough to delete
    // or rename it, or to open it again through /proc/self/fd.
    bool Open(const platform::ScannedFile& scanned, bool for_reading = false);
    int Folder() const { return folder_fd_; }
    int Descriptor() const { return fd_; }
    const std::string& Name() const { return name_; }
    // Whether the entry of the folder still is that file (asked again right before it is
    // removed or renamed).
    bool StillThere() const;

private:
    int folder_fd_ = -1;
    int fd_ = -1;
    std::string name_;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
};

// Copies the scanned file into `destination_folder` (absolute, reached without links). The
// copy is created anew (never through an existing name or a link) under the file's own name,
// or under the first free one of "name (2).ext", "name (3).ext" and on; `copy_name` receives
// the name used. It keeps the file's permission bits (without set-user-ID, set-group-ID and
// sticky), at most 0600 when the destination folder is open to its group or others. A copy
// that fails half-way is removed.
ActionResult CopyScannedFile(const platform::ScannedFile& source,
                             const std::string& destination_folder, std::string& copy_name);

// Copies, then removes the source when it is still the file the scan met: kDone when it is
// gone, kCopiedOnly when the copy was made but the source stays.
ActionResult MoveScannedFile(const platform::ScannedFile& source,
                             const std::string& destination_folder, std::string& copy_name);

ActionResult DeleteScannedFile(const platform::ScannedFile& file);

// Gives the file the name InfectedFileNewName makes, in its own folder, without replacing a
// file of that name; `file.name` follows. kDone also when the name does not change.
ActionResult RenameScannedFile(platform::ScannedFile& file);

// The name renaming gives: an extension of at most one character after the point (or none)
// becomes ".VIR"; otherwise the extension's first character becomes 'V' ("a.exe" gives
// "a.Vxe"). Characters are UTF-8 characters, never split. Only the last path component is
// looked at.
std::string InfectedFileNewName(const std::string& path);

// The n-th name a copy tries (n from 1): the name itself, then "stem (n).ext".
std::string NumberedName(const std::string& name, int n);

}  // namespace kv
