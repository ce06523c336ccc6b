#include "config/text_win32.h"
#include "transports/transport_win32.h"

#include <atomic>
#include <cwctype>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <ntdef.h>
extern "C" {
#include <hidsdi.h>
}

namespace drawerdriver {

namespace {

// The USB printer class's device interface (usbprint.h).
constexpr GUID UsbPrintInterface
    = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

// "USB\VID_04B8&PID_0202\SERIAL": the ids and the serial number of a USB
// device's instance id, which stays when its COM or printer number moves.
void readInstanceId(const std::wstring &id, FoundDevice &device)
{
    std::wstring upper = id;
    for (wchar_t &c : upper)
        c = wchar_t(std::towupper(c));
    const auto number = [&](const wchar_t *key) -> std::uint16_t {
        const auto at = upper.find(key);
        return at == std::wstring::npos
            ? 0
            : std::uint16_t(std::wcstoul(upper.c_str() + at + 4, nullptr, 16));
    };
    device.vendor = number(L"VID_");
    device.product = number(L"PID_");
    const auto slash = id.rfind(L'\\');
    // A device without a serial number gets one made up by Windows, with &.
    if (slash != std::wstring::npos && id.find(L'&', slash) == std::wstring::npos)
        device.serial = narrow(id.substr(slash + 1));
}

std::wstring parentId(DEVINST instance)
{
    DEVINST parent = 0;
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Parent(&parent, instance, 0) != CR_SUCCESS
        || CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return {};
    return id;
}

// A HID device's ids and report lengths, from the device itself.
bool readHidDevice(FoundDevice &device)
{
    const HANDLE handle = CreateFileW(device.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    HIDD_ATTRIBUTES attributes {};
    attributes.Size = sizeof attributes;
    PHIDP_PREPARSED_DATA parsed = nullptr;
    HIDP_CAPS caps {};
    const bool read = HidD_GetAttributes(handle, &attributes)
        && HidD_GetPreparsedData(handle, &parsed)
        && HidP_GetCaps(parsed, &caps) == HIDP_STATUS_SUCCESS;
    if (parsed)
        HidD_FreePreparsedData(parsed);
    CloseHandle(handle);
    device.vendor = attributes.VendorID;
    device.product = attributes.ProductID;
    device.inputReport = caps.InputReportByteLength;
    device.outputReport = caps.OutputReportByteLength;
    return read;
}

std::vector<FoundDevice> findWithSetupDi(DeviceClass kind)
{
    GUID interfaceClass = UsbPrintInterface;
    if (kind == DeviceClass::Hid)
        HidD_GetHidGuid(&interfaceClass);
    const HDEVINFO set = SetupDiGetClassDevsW(
        &interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    std::vector<FoundDevice> found;
    SP_DEVICE_INTERFACE_DATA entry {};
    entry.cbSize = sizeof entry;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &entry);
         ++index) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &entry, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        std::vector<std::uint8_t> buffer(needed);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA info {};
        info.cbSize = sizeof info;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &entry, detail, needed, nullptr, &info))
            continue;
        FoundDevice device;
        device.path = detail->DevicePath;
        // The printer interface belongs to a child of the USB device.
        readInstanceId(parentId(info.DevInst), device);
        if (kind == DeviceClass::Hid && !readHidDevice(device))
            continue;
        found.push_back(std::move(device));
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::atomic<DeviceFinder> deviceFinder {findWithSetupDi};

} // namespace

std::vector<FoundDevice> findDevices(DeviceClass kind)
{
    return deviceFinder.load()(kind);
}

void setDeviceFinder(DeviceFinder finder)
{
    deviceFinder = finder ? finder : findWithSetupDi;
}

} // namespace drawerdriver
