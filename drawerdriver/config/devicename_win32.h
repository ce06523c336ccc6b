// The names of local devices on Windows, as the configuration writes them
// and the transports find them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace drawerdriver {

// usb:VID:PID[:SERIAL] and hid:VID:PID.
struct UsbDeviceName {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string serial; // empty: any
};

inline constexpr std::string_view SpoolerPrefix = "printer:";
inline constexpr std::string_view UsbPrinterPrefix = "usb:";
inline constexpr std::string_view HidPrefix = "hid:";

// The ids of a usb: or hid: name (with its prefix), or empty.
std::optional<UsbDeviceName> parseUsbDeviceName(std::string_view name);
// The port number of COMn or \\.\COMn, or 0.
int comPortNumber(std::string_view name);

} // namespace drawerdriver
