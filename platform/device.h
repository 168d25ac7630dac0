// The companion kernel driver's device node: two bare requests, no data exchanged.
#pragma once

#include <string>

namespace kv::platform {

// The node the companion driver creates when it is loaded.
inline constexpr const char* kDriverDevice = "/dev/kestravo";

// Opens `device` read-only, sends ioctl request `request` with no argument, and closes it.
// A missing node or a refused request is not an error: nothing happens.
void SendDeviceRequest(const std::string& device, unsigned long request);

}  // namespace kv::platform
