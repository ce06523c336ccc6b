// A drawer library for testing the binding: answers that echo their argument,
// so widths and signs can be checked, and a log of every call in the file
// named by KESTRIN_TESTLIB_LOG. Built once with all four functions and once
// without OpenDrawer.

#include "drawer/drawerapi.h"

#include <cstdio>
#include <cstdlib>

#if defined(TESTLIB_FAILING_DLLMAIN)
#include <windows.h>

// Refuses to be loaded, as a library whose set-up fails does.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    return reason != DLL_PROCESS_ATTACH;
}
#endif

namespace {
int callCount = 0;

void logCall(const char *function, long argument)
{
    ++callCount;
    if (const char *path = std::getenv("KESTRIN_TESTLIB_LOG")) {
        if (std::FILE *log = std::fopen(path, "a")) {
            std::fprintf(log, "%s %ld\n", function, argument);
            std::fclose(log);
        }
    }
}
} // namespace

extern "C" {

KESTRIN_DRAWER_API int TestDrawerLib_CallCount()
{
    return callCount;
}

// 1000 + the drawer number, so a test sees which number arrived.
KESTRIN_DRAWER_API std::int32_t KESTRIN_DRAWER_CALL GetDrawerHandle(std::uint8_t drawerNumber)
{
    logCall("GetDrawerHandle", drawerNumber);
    return 1000 + drawerNumber;
}

KESTRIN_DRAWER_API void KESTRIN_DRAWER_CALL ReleaseDrawerHandle(std::int32_t handle)
{
    logCall("ReleaseDrawerHandle", handle);
}

// The handle's low 16 bits, sign included: -2 answers -2, 1001 answers 1001.
KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL GetDrawerStatus(std::int32_t handle)
{
    logCall("GetDrawerStatus", handle);
    return static_cast<std::int16_t>(handle);
}

#ifndef TESTLIB_WITHOUT_OPEN_DRAWER
KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL OpenDrawer(std::int32_t handle)
{
    logCall("OpenDrawer", handle);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(handle) + 1);
}
#endif
}
