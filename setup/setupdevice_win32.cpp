// Local devices on Windows: a COM port looked up before it is opened, and
// what can be said of a device another program holds.
#include "setup_win32.h"

#include "config/devicename_win32.h"

#include <windows.h>

namespace drawerdriver::setup {

namespace {

// Whether Windows knows the COM port now; opening it would raise its lines.
bool comPortExists(int number)
{
    wchar_t target[1024];
    const std::wstring name = L"COM" + std::to_wstring(number);
    return QueryDosDeviceW(name.c_str(), target, DWORD(std::size(target))) != 0
        || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

} // namespace

std::string holdersText(const std::string &)
{
    return "held by another program (Windows does not say which: the point-of-sale software, "
           "a printer utility, or the drawer window on this drawer)";
}

int checkLocalDevice(const std::string &path)
{
    const int port = comPortNumber(path);
    if (port == 0 || comPortExists(port))
        return Done;
    tell(path + " is not there: is the device plugged in and switched on? A USB device's "
        + "COM port number may change when it is plugged into another socket.\n" + toolCommand()
        + " detect lists the devices there are.");
    return NotFound;
}

std::string readAccessAdvice(const std::string &path)
{
    return "The library reads it as the user of the window, so the computer's users must "
           "be able to read it. In a Command Prompt opened as administrator:\n  icacls "
        + shellQuoted(path) + " /grant *S-1-5-32-545:R";
}

} // namespace drawerdriver::setup
