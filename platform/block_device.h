// Finding the block devices behind a mounted file system, for reading its boot sector and the
// first sector of the disk it lies on.
#pragma once

#include <map>
#include <string>

namespace kv::platform {

struct BlockDevices {
    std::string volume;  // the device that holds the file system, e.g. /dev/sda1
    std::string disk;    // the whole disk it lies on, e.g. /dev/sda (the volume itself when
                         // it is not a partition)
};

// Looks up the mount whose mount point is `mount_root` (links resolved) in
// /proc/self/mountinfo and its device in /sys/dev/block. False when the path is no mount point
// or its file system has no block device (tmpfs, overlay, network file systems).
bool FindBlockDevices(const std::string& mount_root, BlockDevices& devices);

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

// Reads the first 512 bytes of a block device or disk-image file. `opened` tells whether the
// device could be opened at all (a FIFO or other special file is refused without blocking).
struct SectorRead {
    bool opened = false;
    bool read = false;
};
SectorRead ReadFirstSector(const std::string& device, unsigned char (&sector)[512]);

}  // namespace kv::platform
