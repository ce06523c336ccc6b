// The four entry points of the vendor drawer library, as the library exports
// them: plain C functions, every argument and result passed by value.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KESTRIN_DRAWER_API __declspec(dllexport)
#else
#define KESTRIN_DRAWER_API __attribute__((visibility("default")))
#endif

extern "C" {
// Greater than 0: a handle for that drawer. 0 or below: no device.
KESTRIN_DRAWER_API std::int32_t GetDrawerHandle(std::uint8_t drawerNumber);
// Gives a handle back; 0, negative and unknown handles are ignored.
KESTRIN_DRAWER_API void ReleaseDrawerHandle(std::int32_t handle);
// 0: the device did not answer. 2: drawer open. Anything else: closed.
KESTRIN_DRAWER_API std::int16_t GetDrawerStatus(std::int32_t handle);
// Fires the drawer open. 0: the device did not answer.
KESTRIN_DRAWER_API std::int16_t OpenDrawer(std::int32_t handle);
}
