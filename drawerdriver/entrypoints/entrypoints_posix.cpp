// The library's drawers on POSIX. It is linked with -z nodelete, so that a
// host's dlclose leaves its code in place.

#include "config/logwriter.h"
#include "config/report.h"
#include "entrypoints/drawers.h"
#include "transports/transport.h"

#include <cstdlib>

#include <pthread.h>

namespace drawerdriver {

namespace {

// A process ending lets its devices go through an exit handler.
DrawerSource *source = nullptr;

// A child after fork has none of the parent's threads: it starts afresh,
// with monitors and a bus connection of its own, and lets go of the devices
// the parent had open.
void startAfreshInChild()
{
    closeInheritedDevices();
    restartLogWriterAfterFork();
    restartReportsAfterFork();
    source = new DrawerSource;
}

} // namespace

DrawerSource &libraryDrawers()
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

} // namespace drawerdriver
