#include "config/devicename_win32.h"
#include "config/text_win32.h"
#include "transports/transport_win32.h"

#include <cstdio>

namespace drawerdriver {

namespace {

std::string idText(const UsbDeviceName &ids)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", ids.vendor, ids.product);
    return text;
}

// The first interface of the class with the ids (and serial number, if
// named), opened for overlapped I/O.
OpenResult openUsbDevice(const DrawerSettings &settings, DeviceClass kind)
{
    OpenResult result;
    const std::string &name = settings.endpoint.path;
    const UsbDeviceName ids = parseUsbDeviceName(name).value_or(UsbDeviceName {});
    const char *what = kind == DeviceClass::Hid ? "HID device" : "USB printer";
    for (const FoundDevice &device : findDevices(kind)) {
        if (device.vendor != ids.vendor || device.product != ids.product
            || (!ids.serial.empty() && device.serial != ids.serial))
            continue;
        if (kind == DeviceClass::Hid && device.outputReport == 0) {
            result.error = name + " takes no output reports: it is no drawer of protocol hid";
            result.failure = OpenFailure::Other;
            return result;
        }
        const HANDLE handle = CreateFileW(device.path.c_str(), GENERIC_READ | GENERIC_WRITE,
            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
            nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            result.error = "cannot open " + name + ": " + systemMessage(code);
            result.failure = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
                ? OpenFailure::Busy
                : code == ERROR_FILE_NOT_FOUND ? OpenFailure::Gone
                                               : OpenFailure::Other;
            return result;
        }
        result.transport = std::make_unique<OverlappedDevice>(
            handle, name, device.inputReport, device.outputReport);
        return result;
    }
    result.error = std::string("no ") + what + " " + idText(ids)
        + (ids.serial.empty() ? std::string() : " with serial number " + ids.serial)
        + " is plugged in";
    result.failure = OpenFailure::Gone;
    return result;
}

} // namespace

OpenResult openUsbPrinter(const DrawerSettings &settings)
{
    return openUsbDevice(settings, DeviceClass::UsbPrinter);
}

OpenResult openHidDevice(const DrawerSettings &settings)
{
    return openUsbDevice(settings, DeviceClass::Hid);
}

} // namespace drawerdriver
