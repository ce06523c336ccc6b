// A process that takes a drawer handle from a drawer library and ends
// without giving it back, as a program that crashes out of its main loop
// would: the library must neither hang nor crash at exit.
// With "dlclose", the library is closed while its monitor still runs.
// Usage: holdatexit LIBRARY [dlclose]   (the drawer configuration from the environment)

#include "drawer/drawerapi.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <dlfcn.h>

int main(int argc, char *argv[])
{
    const bool closeFirst = argc == 3 && std::string(argv[2]) == "dlclose";
    if (argc != 2 && !closeFirst) {
        std::fprintf(stderr, "usage: holdatexit LIBRARY [dlclose]\n");
        return 2;
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "holdatexit: %s\n", dlerror());
        return 1;
    }
    const auto getHandle
        = reinterpret_cast<decltype(&::GetDrawerHandle)>(dlsym(library, "GetDrawerHandle"));
    // Asked at the window's pace until the device answers.
    for (int tick = 0; tick < 50; ++tick) {
        if (const std::int32_t handle = getHandle(0); handle > 0) {
            std::printf("holding %d\n", handle);
            std::fflush(stdout);
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
