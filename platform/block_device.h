// Finding the block devices behind a mounted file system, for reading its boot sector and the
// first sector of the disk it lies on.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace kv::platform {

struct BlockDevices {
    std::string volume;  // the device that holds the file system, e.g. /dev/sda1
    std::string disk;    // the whole disk it lies on, e.g. /dev/sda (the volume itself when
                         // it is not a partition)
    // The device numbers the system gives for them (0 for disk-image files named by tests).
    // A node is only read when it is a block device with exactly this number.
    dev_t volume_number = 0;
    dev_t disk_number = 0;
};

// Looks up the mount whose mount point is `mount_root` (links resolved) in
// /proc/self/mountinfo and its device in /sys/dev/block. False when the path is no mount point
// or its file system has no block device (tmpfs, overlay, network file systems).
bool FindBlockDevices(const std::string& mount_root, BlockDevices& devices);

// The path with links, "." and ".." resolved and no trailing slash ("/" stays "/"); empty
// when it does not exist.
std::string ResolvedPath(const std::string& path);

// The drive roots of a scan and their devices. Tests name disk-image files as the devices
// of a folder, which then counts as a drive root; everything else is looked up in the system.
class BlockDeviceMap {
public:
    void Override(const std::string& root, BlockDevices devices);
    // Whether `path` is a drive root: an overridden folder or a mount root.
    bool IsDriveRoot(const std::string& path) const;
    bool Find(const std::string& root, BlockDevices& devices) const;

private:
    static std::string Key(const std::string& path);
    std::map<std::string, BlockDevices> overrides_;
};

// Unescapes the octal escapes (\040 for a blank) of a mountinfo field.
std::string UnescapeMountField(const std::string& field);

}  // namespace kv::platform

namespace kv::platform {

// Opens the node `path` read-only when it is the block device `number`: checked with lstat
// before the open (so no other kind of file is ever opened, and a link is refused) and with
// fstat after it (so a node swapped in between is refused too). Returns the descriptor, or -1
// with errno set (ENOTBLK for anything else than that block device).
int OpenBlockDevice(const std::string& path, dev_t number);

// Reads the 512 bytes at offset 0 of an open descriptor; true when all of them arrived.
bool ReadSectorZero(int fd, unsigned char (&sector)[512]);

// Reads the first 512 bytes of a device. With a device number, only that block device is
// opened (OpenBlockDevice); with 0 (disk images of tests), a block device or regular file.
// `opened` tells whether it could be opened at all, `error` the errno of a failure.
struct SectorRead {
    bool opened = false;
    bool read = false;
    int error = 0;
};
SectorRead ReadFirstSector(const std::string& device, dev_t number, unsigned char (&sector)[512]);

}  // namespace kv::platform
