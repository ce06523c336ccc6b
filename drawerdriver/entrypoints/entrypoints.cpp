// The four entry points of the drawer library. They answer from the device
// monitors' latest state, so the program's window never waits on a device.

#include "drawer/drawerapi.h"
#include "monitor/drawerbank.h"

namespace {
drawerdriver::DrawerBank bank;
}

extern "C" {

KESTRIN_DRAWER_API std::int32_t KESTRIN_DRAWER_CALL GetDrawerHandle(std::uint8_t drawerNumber)
{
    return bank.acquire(drawerNumber);
}

KESTRIN_DRAWER_API void KESTRIN_DRAWER_CALL ReleaseDrawerHandle(std::int32_t handle)
{
    bank.release(handle);
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL GetDrawerStatus(std::int32_t handle)
{
    return bank.status(handle);
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL OpenDrawer(std::int32_t handle)
{
    return bank.open(handle);
}

} // extern "C"
