// What only the POSIX setup tool knows: USB identities in sysfs, and the
// groups and udev rules that let a user at a device node.
#pragma once

#include "setup.h"

namespace drawerdriver::setup {

// A USB device's vendor and product ids (four hex digits) and its product
// name, found in sysfs above SYSROOT/class/CLASS/NODE/device.
struct UsbIdentity {
    std::string vendor;
    std::string product;
    std::string name;
};
std::optional<UsbIdentity> usbIdentity(
    const std::string &sysRoot, const std::string &className, const std::string &node);

// What the user must do to be let at a device node they may not open.
// The identity, where already known, names a HID device in its udev rule.
std::string accessAdvice(
    const std::string &path, const std::optional<UsbIdentity> &identity = std::nullopt);

// The command line that does the same as root, with sudo.
std::string withSudo(const Arguments &toolArguments);

// The commands only the Linux system has.
int allow(const Arguments &arguments);
int metrics(const Arguments &arguments);
int printer(const Arguments &arguments);

} // namespace drawerdriver::setup
