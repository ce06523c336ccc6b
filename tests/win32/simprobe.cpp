// Calls a drawer library the way the drawer program does, one call per line
// read: "GetDrawerHandle 3", "GetDrawerStatus 7", "OpenDrawer 7" or
// "ReleaseDrawerHandle 7". It answers each with the call's result on a line
// of its own ("-" for ReleaseDrawerHandle), so that a test can change the
// drawers between two calls of one process.
//   simprobe.exe PATH\KestrinPOS_USB.dll

#include "drawer/drawerapi.h"

#include <chrono>
#include <iostream>
#include <string>

#include <windows.h>

namespace {

template<typename Function> Function entry(HMODULE library, const char *name)
{
    // Through a pointer to a function without arguments, which GCC accepts
    // as a cast from one function type to another.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc != 2 && !(argc == 3 && std::wstring(argv[2]) == L"--timed"))
        return 2;
    const bool timed = argc == 3;
    const HMODULE library = LoadLibraryW(argv[1]);
    if (!library) {
        std::cerr << "cannot load the drawer library: error " << GetLastError() << '\n';
        return 1;
    }
    using Handle = std::int32_t;
    const auto getHandle
        = entry<Handle(KESTRIN_DRAWER_CALL *)(std::uint8_t)>(library, "GetDrawerHandle");
    const auto release = entry<void(KESTRIN_DRAWER_CALL *)(Handle)>(library, "ReleaseDrawerHandle");
    const auto status
        = entry<std::int16_t(KESTRIN_DRAWER_CALL *)(Handle)>(library, "GetDrawerStatus");
    const auto open = entry<std::int16_t(KESTRIN_DRAWER_CALL *)(Handle)>(library, "OpenDrawer");
    if (!getHandle || !release || !status || !open) {
        std::cerr << "the drawer library lacks an entry point\n";
        return 1;
    }
    std::string call;
    long long argument = 0;
    while (std::cin >> call >> argument) {
        const auto start = std::chrono::steady_clock::now();
        std::string answer = "-";
        if (call == "GetDrawerHandle")
            answer = std::to_string(getHandle(std::uint8_t(argument)));
        else if (call == "GetDrawerStatus")
            answer = std::to_string(status(Handle(argument)));
        else if (call == "OpenDrawer")
            answer = std::to_string(open(Handle(argument)));
        else if (call == "ReleaseDrawerHandle")
            release(Handle(argument));
        else
            return 2;
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
        std::cout << answer;
        if (timed)
            std::cout << ' ' << took.count();
        std::cout << std::endl;
    }
    return 0;
}
