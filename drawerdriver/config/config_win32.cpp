#include "config/config.h"
#include "config/devicename_win32.h"
#include "config/text_win32.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

namespace drawerdriver {

std::wstring widen(std::string_view text)
{
    if (text.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(std::max(size, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), size);
    return wide;
}

std::string narrow(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(
        CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(std::size_t(std::max(size, 0)), '\0');
    WideCharToMultiByte(
        CP_UTF8, 0, text.data(), int(text.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::string systemMessage(unsigned long code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::string text = length ? narrow(std::wstring_view(buffer, length)) : std::string();
    LocalFree(buffer);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return (text.empty() ? "system error" : text) + " (error " + std::to_string(code) + ")";
}

std::string defaultDrawerConfigPath()
{
    std::string folder = "C:\\ProgramData";
    wchar_t *found = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &found) == S_OK)
        folder = narrow(found);
    CoTaskMemFree(found);
    return folder + "\\Kestrin\\drawers.conf";
}

// Read as UTF-16: a path with letters beyond the code page survives.
std::string drawerConfigPath()
{
    if (const wchar_t *named = _wgetenv(L"KESTRIN_DRAWERS_CONF"); named && *named)
        return narrow(named);
    return defaultDrawerConfigPath();
}

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size()
        && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a))
                   == std::tolower(static_cast<unsigned char>(b));
           });
}

bool parseHexId(std::string_view text, std::uint16_t &id)
{
    if (text.size() != 4)
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id, 16);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

int comPortNumber(std::string_view name)
{
    if (startsWithNoCase(name, "\\\\.\\"))
        name.remove_prefix(4);
    if (!startsWithNoCase(name, "COM"))
        return 0;
    name.remove_prefix(3);
    int number = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size() || name.front() == '0'
        || number < 1 || number > 255)
        return 0;
    return number;
}

std::optional<UsbDeviceName> parseUsbDeviceName(std::string_view name)
{
    const bool hid = startsWithNoCase(name, HidPrefix);
    if (!hid && !startsWithNoCase(name, UsbPrinterPrefix))
        return std::nullopt;
    name.remove_prefix(hid ? HidPrefix.size() : UsbPrinterPrefix.size());
    UsbDeviceName ids;
    const auto first = name.find(':');
    if (first == std::string_view::npos || !parseHexId(name.substr(0, first), ids.vendor))
        return std::nullopt;
    name.remove_prefix(first + 1);
    const auto second = name.find(':');
    if (!parseHexId(name.substr(0, second), ids.product))
        return std::nullopt;
    if (second != std::string_view::npos) {
        ids.serial = std::string(name.substr(second + 1));
        if (hid || ids.serial.empty())
            return std::nullopt;
    }
    return ids;
}

std::string parseLocalDevice(std::string_view device, Endpoint &endpoint)
{
    std::string path;
    if (const int port = comPortNumber(device)) {
        path = "COM" + std::to_string(port); // one key however it is written
    } else if (startsWithNoCase(device, SpoolerPrefix)) {
        if (trimmed(device.substr(SpoolerPrefix.size())).empty())
            return "printer: needs the queue's name, as the Printers settings show it";
        path = std::string(SpoolerPrefix) + std::string(device.substr(SpoolerPrefix.size()));
    } else if (startsWithNoCase(device, UsbPrinterPrefix) || startsWithNoCase(device, HidPrefix)) {
        const bool hid = startsWithNoCase(device, HidPrefix);
        if (!parseUsbDeviceName(device))
            return "bad device '" + std::string(device) + "': it must be "
                + (hid ? "hid:VID:PID" : "usb:VID:PID[:SERIAL]")
                + ", with VID and PID four hexadecimal digits each";
        path = std::string(device);
        // The ids in one case, so that one device has one key.
        const std::size_t serialAt = hid ? path.size() : std::min(path.size(), std::size_t(13));
        std::transform(path.begin(), path.begin() + std::ptrdiff_t(serialAt), path.begin(),
            [](unsigned char c) { return char(std::tolower(c)); });
    } else {
        return "the device must be COMn, printer:QUEUE NAME, usb:VID:PID[:SERIAL], hid:VID:PID or "
               "tcp://HOST[:PORT]";
    }
    endpoint = Endpoint {path, {}, 9100};
    return {};
}

std::string checkDevice(const DrawerSettings &settings)
{
    const std::string &path = settings.endpoint.path;
    const bool hidDevice = startsWithNoCase(path, HidPrefix);
    const bool spooler = startsWithNoCase(path, SpoolerPrefix);
    const bool usbPrinter = startsWithNoCase(path, UsbPrinterPrefix);
    if (settings.protocol == Protocol::Hid && !hidDevice)
        return "protocol hid needs device = hid:VID:PID";
    if (hidDevice && settings.protocol != Protocol::Hid)
        return path + " is a HID drawer: it needs protocol = hid";
    if (settings.protocol == Protocol::Trigger && comPortNumber(path) == 0)
        return "protocol trigger needs a serial port, device = COMn";
    if ((spooler || usbPrinter) && settings.protocol == Protocol::Trigger)
        return path + " is a printer: use protocol escpos or star";
    if (spooler && settings.sensor != Sensor::None)
        return "a spooler queue sends kicks only and reports no drawer state: use sensor = none, "
               "or reach the printer through usb:, COMn or tcp:// for the drawer's state";
    return {};
}

namespace {

ConfigText refused(std::string problem, int code)
{
    ConfigText result;
    result.problem = std::move(problem);
    result.error = code;
    return result;
}

int errnoOf(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    }
    return EIO;
}

} // namespace

ConfigText readConfigFile(const std::string &path)
{
    // Shared with every writer, so that an editor saving it is never in our
    // way; a folder opened too, to say so.
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return refused("cannot read " + path + ": " + systemMessage(code), errnoOf(code));
    }
    BY_HANDLE_FILE_INFORMATION info {};
    std::string wrong;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info))
        wrong = path + " is not a regular file: only a regular file is read";
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        wrong = path + " is a folder, not a configuration file";
    else if (info.nFileSizeHigh != 0 || info.nFileSizeLow > DWORD(LargestConfig))
        wrong = path + " is larger than 1 MiB: no drawer configuration is that large";
    ConfigText result;
    char buffer[16384];
    while (wrong.empty()) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            wrong = "cannot read " + path + ": " + systemMessage(GetLastError());
            break;
        }
        if (got == 0)
            break;
        result.text.append(buffer, got);
        // A file that grows while it is read stops here all the same.
        if (result.text.size() > std::size_t(LargestConfig))
            wrong = path + " is larger than 1 MiB: no drawer configuration is that large";
    }
    CloseHandle(file);
    return wrong.empty() ? result : refused(std::move(wrong), 0);
}

} // namespace drawerdriver
