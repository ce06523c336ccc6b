// The ESC/POS drawer library's status round trip on a pseudo-terminal
// printer: GetDrawerStatus called a thousand times, median and p99 printed.
// Usage: escpos-roundtrip LIBRARY

#include "drawer/drawerapi.h"
#include "support/ptyprinter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <dlfcn.h>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: escpos-roundtrip LIBRARY\n");
        return 2;
    }
    PtyPrinter printer;
    char conf[] = "/tmp/kestrin-roundtrip-XXXXXX";
    const int fd = mkstemp(conf);
    if (fd < 0)
        return 1;
    close(fd);
    std::ofstream(conf) << "[drawer 1]\ndevice = " << printer.device << "\nsensor = open-high\n";
    setenv("KESTRIN_DRAWERS_CONF", conf, 1);

    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "escpos-roundtrip: %s\n", dlerror());
        return 1;
    }
    auto getHandle
        = reinterpret_cast<decltype(&::GetDrawerHandle)>(dlsym(library, "GetDrawerHandle"));
    auto status = reinterpret_cast<decltype(&::GetDrawerStatus)>(dlsym(library, "GetDrawerStatus"));
    auto release
        = reinterpret_cast<decltype(&::ReleaseDrawerHandle)>(dlsym(library, "ReleaseDrawerHandle"));
    const std::int32_t handle = getHandle(0);
    if (handle <= 0) {
        std::fprintf(stderr, "escpos-roundtrip: no handle\n");
        return 1;
    }
    std::vector<double> micros;
    for (int i = 0; i < 1000; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const int answer = status(handle);
        const auto end = std::chrono::steady_clock::now();
        if (answer != 1)
            return 1;
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    release(handle);
    unlink(conf);
    std::sort(micros.begin(), micros.end());
    std::printf(
        "%.3f %.3f\n", micros[micros.size() / 2] / 1000, micros[micros.size() * 99 / 100] / 1000);
    return 0;
}
