// The library's drawers and handles: what the four entry points do. Every
// call answers from the device monitors' latest state; only the call that
// starts a device's monitor waits, briefly, for its first answer.
#pragma once

#include "config/config.h"
#include "monitor/monitor.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace drawerdriver {

// The longest the call that starts a monitor waits for its first answer.
inline constexpr std::chrono::milliseconds FirstAnswerWait {250};

class DrawerBank {
public:
    DrawerBank() = default;
    // Lets every device go, waiting a bounded time for the monitors.
    ~DrawerBank();
    DrawerBank(const DrawerBank &) = delete;
    DrawerBank &operator=(const DrawerBank &) = delete;

    std::int32_t acquire(std::uint8_t drawerNumber);
    void release(std::int32_t handle);
    std::int16_t status(std::int32_t handle);
    std::int16_t open(std::int32_t handle);

private:
    struct Held {
        int drawer;
        DrawerSettings settings;
        std::shared_ptr<DeviceMonitor> monitor;
    };

    Held *find(std::int32_t handle);

    std::mutex m_mutex;
    // A monitor lives while its thread runs or a handle refers to it; one
    // that has let go after idling is gone, its descriptors with it.
    std::map<std::string, std::weak_ptr<DeviceMonitor>> m_monitors;
    std::map<std::int32_t, Held> m_held;
    std::int32_t m_nextHandle = 1;
};

} // namespace drawerdriver
