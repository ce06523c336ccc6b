#include "vendordrawerlibrary.h"

// The loading and the look-ups are the platform's: vendordrawerlibrary_posix.cpp
// and vendordrawerlibrary_win32.cpp.

std::int32_t VendorDrawerLibrary::GetDrawerHandle(std::uint8_t drawerNumber)
{
    return entryPoint(m_getDrawerHandle, "GetDrawerHandle")(drawerNumber);
}

void VendorDrawerLibrary::ReleaseDrawerHandle(std::int32_t handle)
{
    entryPoint(m_releaseDrawerHandle, "ReleaseDrawerHandle")(handle);
}

std::int16_t VendorDrawerLibrary::GetDrawerStatus(std::int32_t handle)
{
    return entryPoint(m_getDrawerStatus, "GetDrawerStatus")(handle);
}

std::int16_t VendorDrawerLibrary::OpenDrawer(std::int32_t handle)
{
    return entryPoint(m_openDrawer, "OpenDrawer")(handle);
}
