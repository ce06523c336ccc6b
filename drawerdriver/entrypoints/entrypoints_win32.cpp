// The library's drawers on Windows: its own monitors, since Windows has no
// drawer service.

#include "entrypoints/drawers.h"

#include <windows.h>

namespace drawerdriver {

DrawerBank &libraryDrawers()
{
    static DrawerBank *const bank = [] {
        // Pinned: FreeLibrary never pulls the code from under a monitor
        // thread. Nothing is stopped at exit either: Windows has ended the
        // monitor threads by then, perhaps holding a lock, and closes the
        // devices itself.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
            reinterpret_cast<LPCWSTR>(&libraryDrawers), &self);
        return new DrawerBank;
    }();
    return *bank;
}

} // namespace drawerdriver
