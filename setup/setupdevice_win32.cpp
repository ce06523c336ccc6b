// Local devices on Windows: what can be said of a device another program
// holds, and of a configuration file the users may not read.
#include "setup_win32.h"

#include <windows.h>

namespace drawerdriver::setup {

std::string holdersText(const std::string &)
{
    return "held by another program (Windows does not say which: the point-of-sale software, "
           "a printer utility, or the drawer window on this drawer)";
}

// Nothing to look at first: a COM port Windows does not list may still
// open (a port a driver made just now), and opening is what tells.
int checkLocalDevice(const std::string &)
{
    return Done;
}

std::string readAccessAdvice(const std::string &path)
{
    return "The library reads it as the user of the window, so the computer's users must "
           "be able to read it. In a Command Prompt opened as administrator:\n  icacls "
        + shellQuoted(path) + " /grant *S-1-5-32-545:R";
}

} // namespace drawerdriver::setup
