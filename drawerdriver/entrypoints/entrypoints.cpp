// The four entry points of the drawer library. They answer from the device
// monitors' latest state, the library's own or the drawer service's, so the
// program's window never waits on a device.

#include "client/drawersource.h"
#include "drawer/drawerapi.h"

namespace {
drawerdriver::DrawerSource drawers;
}

extern "C" {

KESTRIN_DRAWER_API std::int32_t KESTRIN_DRAWER_CALL GetDrawerHandle(std::uint8_t drawerNumber)
{
    return drawers.acquire(drawerNumber);
}

KESTRIN_DRAWER_API void KESTRIN_DRAWER_CALL ReleaseDrawerHandle(std::int32_t handle)
{
    drawers.release(handle);
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL GetDrawerStatus(std::int32_t handle)
{
    return drawers.status(handle);
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL OpenDrawer(std::int32_t handle)
{
    return drawers.open(handle);
}

} // extern "C"
