// detect on Windows: COM ports with their friendly names, the spooler's
// queues, USB printers and HID devices, each with the device to write in
// drawers.conf. Devices are only looked at: no COM port is opened (that
// would raise its modem lines), and a HID device is opened for queries
// only, which sends it nothing.
#include "setup_win32.h"

#include "config/devicename_win32.h"
#include "transports/transport_win32.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include <windows.h>

#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
// MinGW-w64's HID header declares its functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>
#include <winspool.h>

namespace drawerdriver::setup {

namespace {

struct Found {
    std::string heading;
    std::string device; // as drawers.conf writes it
    std::string note; // what to know about that name
    std::string protocols;
};

std::string lowerHex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

std::string registryText(HKEY key, const wchar_t *name)
{
    wchar_t value[512] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size)
            != ERROR_SUCCESS
        || type != REG_SZ)
        return {};
    return narrow(value);
}

std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA &data, DWORD property)
{
    wchar_t value[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &data, property, nullptr,
            reinterpret_cast<BYTE *>(value), sizeof value - sizeof(wchar_t), nullptr))
        return {};
    return narrow(value);
}

std::string instanceId(DEVINST node)
{
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    return CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? narrow(id) : "";
}

class Detection {
public:
    int run()
    {
        comPorts();
        spoolerQueues();
        usbPrinters();
        hidDevices();
        if (m_found.empty()) {
            say("No COM port, printer queue, USB printer or HID device found.\n"
                "For a printer on the network: %s detect --network HOST[:PORT]\n",
                toolCommand().c_str());
            return NotFound;
        }
        for (const Found &found : m_found)
            say("%s\n  device:   %s\n%s  protocol: %s\n", printable(found.heading).c_str(),
                printable(found.device).c_str(),
                found.note.empty() ? "" : ("            (" + found.note + ")\n").c_str(),
                found.protocols.c_str());
        say("\nTo make one of them drawer N:\n  %s set N device=DEVICE [protocol=P]\n"
            "then check it with: %s probe N\n",
            toolCommand().c_str(), toolCommand().c_str());
        return Done;
    }

private:
    // The ports class: each port's name (COM3), friendly name and instance
    // ID; then the ports Windows knows by name alone (built-in ones in
    // SERIALCOMM, and any COM name the system has).
    void comPorts()
    {
        std::map<int, Found> ports;
        const HDEVINFO set
            = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
        SP_DEVINFO_DATA data {};
        data.cbSize = sizeof data;
        for (DWORD i = 0; set != INVALID_HANDLE_VALUE && SetupDiEnumDeviceInfo(set, i, &data);
             ++i) {
            std::string name;
            if (const HKEY key
                = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
                key != INVALID_HANDLE_VALUE) {
                name = registryText(key, L"PortName");
                RegCloseKey(key);
            }
            const int number = comPortNumber(name);
            if (number == 0)
                continue; // a printer port, LPT1
            const std::string friendly = deviceProperty(set, data, SPDRP_FRIENDLYNAME);
            const std::string instance = instanceId(data.DevInst);
            ports[number] = comPort(name, friendly, instance);
        }
        if (set != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set);
        for (const std::string &name : comNames())
            if (const int number = comPortNumber(name); number && !ports.count(number))
                ports[number] = comPort(name, {}, {});
        for (auto &[number, port] : ports)
            m_found.push_back(std::move(port));
    }

    static Found comPort(
        const std::string &name, const std::string &friendly, const std::string &instance)
    {
        Found found;
        found.heading = "COM port " + name + (friendly.empty() ? "" : ": \"" + friendly + "\"");
        found.device = name;
        if (instance.rfind("ACPI\\", 0) == 0 || instance.rfind("PCI\\", 0) == 0)
            found.note = "a port of the computer itself: its number stays";
        else if (!instance.empty())
            found.note = "device " + instance
                + ";\n             its number may change on another USB socket: to pin it, Device "
                  "Manager,\n             the port's Properties, Port Settings, Advanced, COM Port "
                  "Number";
        found.protocols = "a printer (escpos, star) or a trigger box (trigger)";
        return found;
    }

    // The COM names the system has: SERIALCOMM's, and every DOS device
    // named COMn.
    static std::vector<std::string> comNames()
    {
        std::vector<std::string> names;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key)
            == ERROR_SUCCESS) {
            for (DWORD i = 0;; ++i) {
                wchar_t valueName[256];
                DWORD nameLength = DWORD(std::size(valueName));
                wchar_t value[64] = {};
                DWORD size = sizeof value - sizeof(wchar_t);
                DWORD type = 0;
                if (RegEnumValueW(key, i, valueName, &nameLength, nullptr, &type,
                        reinterpret_cast<BYTE *>(value), &size)
                    != ERROR_SUCCESS)
                    break;
                if (type == REG_SZ)
                    names.push_back(narrow(value));
            }
            RegCloseKey(key);
        }
        std::vector<wchar_t> all(65536);
        const DWORD length = QueryDosDeviceW(nullptr, all.data(), DWORD(all.size()));
        for (const wchar_t *name = all.data(); length && *name; name += wcslen(name) + 1)
            names.push_back(narrow(name));
        return names;
    }

    void spoolerQueues()
    {
        const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
        DWORD needed = 0;
        DWORD count = 0;
        EnumPrintersW(flags, nullptr, 2, nullptr, 0, &needed, &count);
        std::vector<BYTE> buffer(needed);
        if (needed == 0
            || !EnumPrintersW(flags, nullptr, 2, buffer.data(), needed, &needed, &count))
            return;
        const auto *printers = reinterpret_cast<const PRINTER_INFO_2W *>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            const PRINTER_INFO_2W &printer = printers[i];
            const std::string name = printer.pPrinterName ? narrow(printer.pPrinterName) : "";
            std::string heading = "Printer queue \"" + name + "\"";
            if (printer.pPortName)
                heading += ", port " + narrow(printer.pPortName);
            if (printer.pDriverName)
                heading += ", driver \"" + narrow(printer.pDriverName) + "\"";
            const bool offline = (printer.Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE)
                || (printer.Status
                    & (PRINTER_STATUS_OFFLINE | PRINTER_STATUS_PAUSED
                        | PRINTER_STATUS_NOT_AVAILABLE));
            heading += offline ? ": offline or paused" : ": ready";
            m_found.push_back({heading, "printer:" + name,
                "the spooler fires the drawer but reads nothing back: sensor = none; "
                "for the drawer's state\n             use the printer's usb:, COM or tcp:// "
                "device where it has one",
                "escpos or star"});
        }
    }

    // Found as the library finds them, so that the name shown is one it
    // opens.
    void usbPrinters()
    {
        for (const FoundDevice &printer : findDevices(DeviceClass::UsbPrinter)) {
            const std::string ids = lowerHex4(printer.vendor) + ":" + lowerHex4(printer.product);
            std::string note = "the printer's vendor and product ids";
            if (printer.serial.empty())
                note += "; of two such printers, it is the first one found: this one reports no "
                        "serial number";
            else
                note += " and serial number: it stays on any USB socket";
            m_found.push_back({"USB printer: vendor " + lowerHex4(printer.vendor) + ", product "
                    + lowerHex4(printer.product)
                    + (printer.serial.empty() ? "" : ", serial " + printer.serial),
                "usb:" + ids + (printer.serial.empty() ? "" : ":" + printer.serial), note,
                "escpos or star"});
        }
    }

    // HID devices that take output reports, as a drawer does; keyboards and
    // mice left out, since no drawer is one. Opened for queries only.
    void hidDevices()
    {
        for (const FoundDevice &hid : findDevices(DeviceClass::Hid)) {
            if (hid.outputReport == 0)
                continue;
            const HANDLE device = CreateFileW(hid.path.c_str(), 0,
                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            wchar_t product[127] = {};
            bool inputDevice = false;
            if (device != INVALID_HANDLE_VALUE) {
                HidD_GetProductString(device, product, sizeof product - sizeof(wchar_t));
                PHIDP_PREPARSED_DATA preparsed = nullptr;
                HIDP_CAPS caps {};
                if (HidD_GetPreparsedData(device, &preparsed)
                    && HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS)
                    inputDevice
                        = caps.UsagePage == 0x01 && (caps.Usage == 0x02 || caps.Usage == 0x06);
                if (preparsed)
                    HidD_FreePreparsedData(preparsed);
                CloseHandle(device);
            }
            std::string heading = "HID device: vendor " + lowerHex4(hid.vendor) + ", product "
                + lowerHex4(hid.product);
            if (*product)
                heading += ", \"" + narrow(product) + "\"";
            if (inputDevice || std::any_of(m_found.begin(), m_found.end(), [&](const Found &found) {
                    return found.heading == heading;
                }))
                continue; // one device, several collections
            m_found.push_back(
                {heading, "hid:" + lowerHex4(hid.vendor) + ":" + lowerHex4(hid.product),
                    "a HID cash drawer's product id is its base plus its ID switch: give id = the "
                    "switch",
                    "hid"});
        }
    }

    std::vector<Found> m_found;
};

} // namespace

int detectLocal()
{
    return Detection().run();
}

} // namespace drawerdriver::setup
