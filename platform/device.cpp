#include "platform/device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv::platform {

void SendDeviceRequest(const std::string& device, unsigned long request) {
    int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return;
    struct stat st;
    // Only a device node is asked; a FIFO or a file left at that name is ignored.
    if (::fstat(fd, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) {
        (void)::ioctl(fd, request, 0);
    }
    ::close(fd);
}

}  // namespace kv::platform
