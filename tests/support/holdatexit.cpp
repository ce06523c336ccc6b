// A process that takes a drawer handle from a drawer library and ends
// without giving it back, as a program that crashes out of its main loop
// would: the library must neither hang nor crash at exit.
// With --follow it is a second program on the drawer instead: it keeps the
// handle, prints "status N" whenever the status changes, fires the drawer
// for each "open" line on standard input (printing "opened R"), and ends,
// still holding the handle, when standard input closes. With dlclose, the
// library is closed while its monitor still runs.
// Usage: holdatexit LIBRARY [--follow | dlclose]   (the configuration from the environment)

#include "drawer/drawerapi.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

namespace {

template<typename Function> Function entryPoint(void *library, const char *name)
{
    return reinterpret_cast<Function>(dlsym(library, name));
}

void follow(void *library, std::int32_t handle)
{
    const auto status = entryPoint<decltype(&::GetDrawerStatus)>(library, "GetDrawerStatus");
    const auto openDrawer = entryPoint<decltype(&::OpenDrawer)>(library, "OpenDrawer");
    int shown = -1;
    char line[64];
    for (;;) {
        if (const int now = status(handle); now != shown) {
            shown = now;
            std::printf("status %d\n", now);
            std::fflush(stdout);
        }
        // At the window's pace.
        pollfd input {STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 100) <= 0)
            continue;
        if (!std::fgets(line, sizeof line, stdin))
            return;
        if (std::strcmp(line, "open\n") == 0) {
            std::printf("opened %d\n", openDrawer(handle));
            std::fflush(stdout);
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const bool following = argc == 3 && std::strcmp(argv[2], "--follow") == 0;
    const bool closeFirst = argc == 3 && std::strcmp(argv[2], "dlclose") == 0;
    if (argc != 2 && !following && !closeFirst) {
        std::fprintf(stderr, "usage: holdatexit LIBRARY [--follow | dlclose]\n");
        return 2;
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "holdatexit: %s\n", dlerror());
        return 1;
    }
    const auto getHandle = entryPoint<decltype(&::GetDrawerHandle)>(library, "GetDrawerHandle");
    // Asked at the window's pace until the device answers.
    for (int tick = 0; tick < 50; ++tick) {
        if (const std::int32_t handle = getHandle(0); handle > 0) {
            std::printf("holding %d\n", handle);
            std::fflush(stdout);
            if (following)
                follow(library, handle);
            if (closeFirst) {
                dlclose(library);
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::fprintf(stderr, "holdatexit: no handle\n");
    return 1;
}
