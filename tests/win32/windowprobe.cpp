// A drawer library that looks at the drawer window from inside its process,
// where the window's fonts and menus can be read (Wine answers WM_GETFONT
// and menu queries only there). One drawer, always there and closed. At
// each call it writes what the windows of the calling thread show to
// KESTRIN_PROBE_OUT.<function>, replaced whole:
//   window <caption>
//   menu <position> <state>
//   control <class>|<text>|<face>|<height>|<weight>

#include "drawer/drawerapi.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void writeControl(std::FILE *out, HWND control)
{
    wchar_t className[64] {}, text[128] {};
    GetClassNameW(control, className, 64);
    GetWindowTextW(control, text, 128);
    LOGFONTW font {};
    const auto handle = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    if (!handle || !GetObjectW(handle, sizeof font, &font))
        return;
    std::fwprintf(out, L"control %ls|%ls|%ls|%ld|%ld\n", className, text, font.lfFaceName,
        font.lfHeight, font.lfWeight);
}

BOOL CALLBACK writeWindow(HWND window, LPARAM out)
{
    auto *file = reinterpret_cast<std::FILE *>(out);
    wchar_t caption[128] {};
    GetWindowTextW(window, caption, 128);
    std::fwprintf(file, L"window %ls\n", caption);
    if (HMENU menu = GetMenu(window)) {
        for (int item = 0; item < GetMenuItemCount(menu); ++item)
            std::fwprintf(file, L"menu %d %u\n", item, GetMenuState(menu, item, MF_BYPOSITION));
    }
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        writeControl(file, child);
    return TRUE;
}

void look(const wchar_t *function)
{
    wchar_t out[MAX_PATH];
    if (!GetEnvironmentVariableW(L"KESTRIN_PROBE_OUT", out, MAX_PATH))
        return;
    const std::wstring path = std::wstring(out) + L"." + function;
    const std::wstring partial = path + L".partial";
    if (std::FILE *file = _wfopen(partial.c_str(), L"w")) {
        EnumThreadWindows(GetCurrentThreadId(), writeWindow, reinterpret_cast<LPARAM>(file));
        std::fclose(file);
        MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}

} // namespace

extern "C" {

KESTRIN_DRAWER_API std::int32_t KESTRIN_DRAWER_CALL GetDrawerHandle(std::uint8_t)
{
    look(L"GetDrawerHandle");
    return 7;
}

KESTRIN_DRAWER_API void KESTRIN_DRAWER_CALL ReleaseDrawerHandle(std::int32_t) { }

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL GetDrawerStatus(std::int32_t)
{
    look(L"GetDrawerStatus");
    return 1;
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL OpenDrawer(std::int32_t)
{
    return 1;
}
}
