// The four entry points of the drawer library. They answer from the device
// monitors' latest state, the library's own or the drawer service's, so the
// program's window never waits on a device.
//
// The library is never unloaded (it is linked with -z nodelete): its
// monitor threads may still be letting go of a device when a host calls
// dlclose, and their code must stay where it is. No exception leaves an
// entry point: a host written in C could not catch it.

#include "client/drawersource.h"
#include "config/logwriter.h"
#include "drawer/drawerapi.h"
#include "transports/transport.h"

#include <cstdlib>

#include <pthread.h>

namespace {

using drawerdriver::DrawerSource;

// Never destroyed: monitor threads call into it until they end. A process
// ending lets its devices go through an exit handler instead.
DrawerSource *source = nullptr;

// A child after fork has none of the parent's threads: it starts afresh,
// with monitors and a bus connection of its own, and lets go of the devices
// the parent had open.
void startAfreshInChild()
{
    drawerdriver::closeInheritedDevices();
    drawerdriver::restartLogWriterAfterFork();
    source = new DrawerSource;
}

DrawerSource &theSource()
{
    static const bool ready = [] {
        source = new DrawerSource;
        std::atexit([] { source->shutdown(); });
        ::pthread_atfork(nullptr, nullptr, startAfreshInChild);
        return true;
    }();
    (void)ready;
    return *source;
}

template<typename Result, typename Call> Result guarded(Result none, Call call) noexcept
{
    try {
        return call(theSource());
    } catch (...) {
        return none;
    }
}

} // namespace

extern "C" {

KESTRIN_DRAWER_API std::int32_t KESTRIN_DRAWER_CALL GetDrawerHandle(std::uint8_t drawerNumber)
{
    return guarded<std::int32_t>(
        0, [&](DrawerSource &drawers) { return drawers.acquire(drawerNumber); });
}

KESTRIN_DRAWER_API void KESTRIN_DRAWER_CALL ReleaseDrawerHandle(std::int32_t handle)
{
    guarded<int>(0, [&](DrawerSource &drawers) {
        drawers.release(handle);
        return 0;
    });
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL GetDrawerStatus(std::int32_t handle)
{
    return guarded<std::int16_t>(0, [&](DrawerSource &drawers) { return drawers.status(handle); });
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL OpenDrawer(std::int32_t handle)
{
    return guarded<std::int16_t>(0, [&](DrawerSource &drawers) { return drawers.open(handle); });
}

} // extern "C"
