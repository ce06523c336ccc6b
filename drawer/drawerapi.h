// The four entry points of the vendor drawer library, as the library exports
// them: plain C functions, every argument and result passed by value.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KESTRIN_DRAWER_API __declspec(dllexport)
#else
#define KESTRIN_DRAWER_API __attribute__((visibility("default")))
#endif

// The entry points' calling convention. On 32-bit Windows the vendor's DLL
// uses stdcall, where the called function takes its arguments off the stack;
// a caller that assumes the compiler's default there, cdecl, leaves the
// stack off by the arguments' size at every call. Everywhere else there is
// one convention. A DLL built here with stdcall must still export the plain
// names (GetDrawerHandle, not _GetDrawerHandle@4): see drawerlibrary.cmake.
#if defined(_WIN32) && !defined(_WIN64)
#define KESTRIN_DRAWER_CALL __stdcall
#else
#define KESTRIN_DRAWER_CALL
#endif

extern "C" {
// Greater than 0: a handle for that drawer. 0 or below: no device.
KESTRIN_DRAWER_API std::int32_t KESTRIN_DRAWER_CALL GetDrawerHandle(std::uint8_t drawerNumber);
// Gives a handle back; 0, negative and unknown handles are ignored.
KESTRIN_DRAWER_API void KESTRIN_DRAWER_CALL ReleaseDrawerHandle(std::int32_t handle);
// 0: the device did not answer. 2: drawer open. Anything else: closed.
KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL GetDrawerStatus(std::int32_t handle);
// Fires the drawer open. 0: the device did not answer.
KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL OpenDrawer(std::int32_t handle);
}
