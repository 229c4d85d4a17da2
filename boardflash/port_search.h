#pragma once

#include <set>
#include <string>

namespace boardflash {

// The serial devices that sit next to `device` in its folder: for /dev its tty nodes, for any
// other folder (such as /dev/serial/by-id) every entry that leads to a character device.
std::set<std::string> serial_neighbours(const std::string& device);

// After the reset: when `device` still exists it is the bootloader's port. Otherwise waits up
// to `wait_ms` for it to come back or for a serial device not in `before` to appear beside it,
// and returns that one; when none does, `device` unchanged.
std::string bootloader_port(const std::string& device, const std::set<std::string>& before,
                            unsigned wait_ms);

}  // namespace boardflash
