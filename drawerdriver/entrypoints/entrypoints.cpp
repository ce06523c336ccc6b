// The four entry points of the drawer library. They answer from the device
// monitors' latest state (the library's own, or the drawer service's), so
// the program's window never waits on a device.
//
// The library is never unloaded: its monitor threads may still be letting
// go of a device when a host unloads it, and their code must stay where it
// is. No exception leaves an entry point: a host written in C could not
// catch it.

#include "drawer/drawerapi.h"
#include "entrypoints/drawers.h"

namespace {

using drawerdriver::LibraryDrawers;

template<typename Result, typename Call> Result guarded(Result none, Call call) noexcept
{
    try {
        return call(drawerdriver::libraryDrawers());
    } catch (...) {
        return none;
    }
}

} // namespace

extern "C" {

KESTRIN_DRAWER_API std::int32_t KESTRIN_DRAWER_CALL GetDrawerHandle(std::uint8_t drawerNumber)
{
    return guarded<std::int32_t>(
        0, [&](LibraryDrawers &drawers) { return drawers.acquire(drawerNumber); });
}

KESTRIN_DRAWER_API void KESTRIN_DRAWER_CALL ReleaseDrawerHandle(std::int32_t handle)
{
    guarded<int>(0, [&](LibraryDrawers &drawers) {
        drawers.release(handle);
        return 0;
    });
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL GetDrawerStatus(std::int32_t handle)
{
    return guarded<std::int16_t>(
        0, [&](LibraryDrawers &drawers) { return drawers.status(handle); });
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL OpenDrawer(std::int32_t handle)
{
    return guarded<std::int16_t>(0, [&](LibraryDrawers &drawers) { return drawers.open(handle); });
}

} // extern "C"
