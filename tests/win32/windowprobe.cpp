// A drawer library that looks at the drawer window from inside its process,
// where the window's fonts and menus can be read: Wine answers WM_GETFONT
// and menu queries from the window's own process only. One drawer, always
// there and closed. At each call it writes, to KESTRIN_PROBE_OUT.<function>
// (replaced whole), the state of the "Cash Drawer" menu and the font of
// every captioned control of the calling thread's windows:
//   menu <state>
//   <caption>|<face>|<height>|<weight>

#include "drawer/drawerapi.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

BOOL CALLBACK writeWindow(HWND window, LPARAM file)
{
    auto *out = reinterpret_cast<std::FILE *>(file);
    if (HMENU menu = GetMenu(window))
        std::fprintf(out, "menu %u\n", GetMenuState(menu, 1, MF_BYPOSITION));
    for (HWND control = GetWindow(window, GW_CHILD); control;
         control = GetWindow(control, GW_HWNDNEXT)) {
        wchar_t caption[128] {};
        LOGFONTW font {};
        GetWindowTextW(control, caption, 128);
        if (GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)),
                sizeof font, &font))
            std::fprintf(
                out, "%ls|%ls|%ld|%ld\n", caption, font.lfFaceName, font.lfHeight, font.lfWeight);
    }
    return TRUE;
}

void look(const char *function)
{
    const char *out = std::getenv("KESTRIN_PROBE_OUT");
    if (!out)
        return;
    const std::string path = std::string(out) + "." + function;
    if (std::FILE *file = std::fopen((path + ".partial").c_str(), "w")) {
        EnumThreadWindows(GetCurrentThreadId(), writeWindow, reinterpret_cast<LPARAM>(file));
        std::fclose(file);
        MoveFileExA((path + ".partial").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}

} // namespace

extern "C" {

KESTRIN_DRAWER_API std::int32_t KESTRIN_DRAWER_CALL GetDrawerHandle(std::uint8_t)
{
    look("GetDrawerHandle");
    return 7;
}

KESTRIN_DRAWER_API void KESTRIN_DRAWER_CALL ReleaseDrawerHandle(std::int32_t) { }

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL GetDrawerStatus(std::int32_t)
{
    look("GetDrawerStatus");
    return 1;
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL OpenDrawer(std::int32_t)
{
    return 1;
}
}
