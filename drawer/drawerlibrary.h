// The controller's only way to the drawer hardware. Production binds it to the
// vendor library file; tests put a scripted fake in its place.
#pragma once

#include <cstdint>

class DrawerLibrary {
public:
    virtual ~DrawerLibrary() = default;

    virtual std::int32_t GetDrawerHandle(std::uint8_t drawerNumber) = 0;
    virtual void ReleaseDrawerHandle(std::int32_t handle) = 0;
    virtual std::int16_t GetDrawerStatus(std::int32_t handle) = 0;
    virtual std::int16_t OpenDrawer(std::int32_t handle) = 0;
};
