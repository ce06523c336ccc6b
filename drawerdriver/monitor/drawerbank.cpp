#include "monitor/drawerbank.h"

#include "config/report.h"
#include "protocols/protocol.h"

#include <climits>

namespace drawerdriver {

DrawerBank::~DrawerBank()
{
    std::lock_guard guard(m_mutex);
    std::vector<std::shared_ptr<DeviceMonitor>> running;
    for (auto &[key, watched] : m_monitors)
        if (auto monitor = watched.lock()) {
            monitor->stop();
            running.push_back(std::move(monitor));
        }
    // An exchange ends within its limit; a host name still being looked up
    // is not waited for beyond that.
    const auto deadline = std::chrono::steady_clock::now() + ExchangeLimit + LongestBackoff;
    for (const auto &monitor : running)
        monitor->waitUntilFinished(deadline);
}

std::int32_t DrawerBank::acquire(std::uint8_t drawerNumber)
{
    if (drawerNumber >= DrawerCount)
        return -1;
    std::unique_lock lock(m_mutex);
    const DrawerConfig config = loadDrawerConfig(drawerConfigPath());
    std::string problems;
    for (const std::string &problem : config.problems)
        problems += (problems.empty() ? "" : "\nKestrinPOS_USB: ") + problem;
    reportProblem("configuration", problems);

    const std::string subject = "drawer " + std::to_string(drawerNumber + 1);
    const auto &settings = config.drawers[drawerNumber];
    if (!settings) {
        // A refused section's problem has been told above, in one line.
        reportProblem(
            subject, config.refused[drawerNumber] ? "" : notConfigured(config, drawerNumber));
        return 0;
    }
    reportProblem(subject, {});

    const std::string key = deviceKey(*settings);
    std::vector<DrawerSection> sections;
    for (int drawer = 0; drawer < DrawerCount; ++drawer)
        if (config.drawers[drawer] && deviceKey(*config.drawers[drawer]) == key)
            sections.emplace_back(drawer, *config.drawers[drawer]);

    // Devices no longer watched leave no trace, however often the file changes.
    std::erase_if(m_monitors, [](const auto &entry) { return entry.second.expired(); });
    // A changed section, or a monitor that let go after idling, means a new
    // monitor; it waits for the old one to let go of the device first.
    std::shared_ptr<DeviceMonitor> watched = m_monitors[key].lock();
    std::shared_ptr<DeviceMonitor> predecessor;
    if (watched && (watched->finished() || watched->sections() != sections)) {
        watched->stop();
        predecessor = std::move(watched);
    }
    const bool starting = !watched;
    if (starting) {
        watched = std::make_shared<DeviceMonitor>(std::move(sections), std::move(predecessor));
        watched->start();
        m_monitors[key] = watched;
    }
    watched->touch();
    if (starting) {
        lock.unlock();
        watched->waitForFirstExchange(FirstAnswerWait);
        lock.lock();
    }
    if (!watched->hasFreshAnswer())
        return 0;
    const std::int32_t handle = m_nextHandle;
    m_nextHandle = m_nextHandle == INT32_MAX ? 1 : m_nextHandle + 1;
    m_held[handle] = Held {drawerNumber, *settings, watched};
    watched->handleTaken();
    return handle;
}

DrawerBank::Held *DrawerBank::find(std::int32_t handle)
{
    const auto entry = m_held.find(handle);
    if (entry == m_held.end())
        return nullptr;
    entry->second.monitor->touch();
    return &entry->second;
}

void DrawerBank::release(std::int32_t handle)
{
    std::lock_guard guard(m_mutex);
    const auto entry = m_held.find(handle);
    if (entry == m_held.end())
        return; // 0, negative and unknown handles
    entry->second.monitor->handleGiven();
    m_held.erase(entry);
}

std::int16_t DrawerBank::status(std::int32_t handle)
{
    std::lock_guard guard(m_mutex);
    const Held *drawer = find(handle);
    if (!drawer || !drawer->monitor->hasFreshAnswer())
        return 0;
    const Sensor sensor = drawer->settings.sensor;
    if (sensor == Sensor::None)
        return 1;
    const std::optional<bool> high = drawer->monitor->sensorLevel();
    if (!high)
        return 0;
    return *high == (sensor == Sensor::OpenHigh) ? 2 : 1;
}

std::int16_t DrawerBank::open(std::int32_t handle)
{
    std::lock_guard guard(m_mutex);
    Held *drawer = find(handle);
    if (!drawer || !drawer->monitor->hasFreshAnswer())
        return 0;
    drawer->monitor->kick(kickBytes(drawer->settings));
    return 1;
}

} // namespace drawerdriver
