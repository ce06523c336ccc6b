// The library's drawers and handles: what the four entry points do. Every
// call answers from the device monitors' latest state; only the call that
// starts a device's monitor waits, briefly, for its first answer.
#pragma once

#include "config/config.h"
#include "config/filestamp.h"
#include "monitor/monitor.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace drawerdriver {

// The longest the call that starts a monitor waits for its first answer.
inline constexpr std::chrono::milliseconds FirstAnswerWait {250};

class DrawerBank {
public:
    DrawerBank();
    // Lets every device go; monitors still ending no longer call back.
    ~DrawerBank();
    DrawerBank(const DrawerBank &) = delete;
    DrawerBank &operator=(const DrawerBank &) = delete;

    std::int32_t acquire(std::uint8_t drawerNumber);
    void release(std::int32_t handle);
    std::int16_t status(std::int32_t handle);
    std::int16_t open(std::int32_t handle);

    // Lets every device go, waiting a bounded time for the monitors.
    void shutdown();
    // Reads the configuration again if its file has changed, and moves the
    // monitors and handles to what it now says. Called by the monitors.
    void refreshIfChanged();

private:
    // A handle names a drawer; its settings are those of its monitor, which
    // follows the configuration.
    struct Held {
        int drawer;
        std::shared_ptr<DeviceMonitor> monitor;
    };
    void apply(DrawerConfig config, const FileStamp &stamp);
    std::shared_ptr<DeviceMonitor> monitorFor(int drawer, bool &started);
    std::shared_ptr<DeviceMonitor> startMonitor(
        const std::string &key, std::shared_ptr<DeviceMonitor> predecessor);
    std::vector<DrawerSection> sectionsOf(const std::string &key) const;
    std::int32_t newHandle();
    Held *find(std::int32_t handle);

    // What the monitors call back through, cut when the bank goes.
    struct Link {
        std::mutex mutex;
        DrawerBank *bank = nullptr;
    };
    std::shared_ptr<Link> m_link;

    std::mutex m_mutex;
    DrawerConfig m_config;
    std::optional<FileStamp> m_stamp; // empty until the file is first read
    // A monitor lives while its thread runs or a handle refers to it; one
    // that has let go after idling is gone, its devices with it.
    std::map<std::string, std::weak_ptr<DeviceMonitor>> m_monitors;
    std::map<std::int32_t, Held> m_held;
    std::int32_t m_nextHandle = 1;
};

} // namespace drawerdriver
