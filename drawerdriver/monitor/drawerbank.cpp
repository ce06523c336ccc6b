#include "monitor/drawerbank.h"

#include "config/logwriter.h"
#include "config/report.h"
#include "config/words.h"
#include "protocols/protocol.h"

#include <climits>

namespace drawerdriver {

DrawerBank::DrawerBank() : m_link(std::make_shared<Link>())
{
    m_link->bank = this;
}

DrawerBank::~DrawerBank()
{
    {
        std::lock_guard guard(m_link->mutex);
        m_link->bank = nullptr;
    }
    shutdown();
}

void DrawerBank::shutdown()
{
    std::vector<std::shared_ptr<DeviceMonitor>> running;
    {
        std::lock_guard guard(m_mutex);
        for (auto &[key, watched] : m_monitors)
            if (auto monitor = watched.lock()) {
                monitor->stop();
                running.push_back(std::move(monitor));
            }
    }
    // An exchange ends within its limit; a host name still being looked up
    // is not waited for beyond that.
    const auto deadline = std::chrono::steady_clock::now() + ExchangeLimit + LongestBackoff;
    for (const auto &monitor : running)
        monitor->waitUntilFinished(deadline);
    flushLogLines(std::chrono::milliseconds(100));
}

void DrawerBank::refreshIfChanged()
{
    const std::string path = drawerConfigPath();
    const FileStamp stamp = fileStampOf(path);
    {
        std::lock_guard guard(m_mutex);
        if (stamp == m_stamp)
            return;
    }
    // Read outside the lock: a slow file never holds up a call.
    DrawerConfig config = loadDrawerConfig(path);
    std::lock_guard guard(m_mutex);
    apply(std::move(config), stamp);
}

std::vector<DrawerSection> DrawerBank::sectionsOf(const std::string &key) const
{
    std::vector<DrawerSection> sections;
    for (int drawer = 0; drawer < DrawerCount; ++drawer)
        if (m_config.drawers[drawer] && deviceKey(*m_config.drawers[drawer]) == key)
            sections.emplace_back(drawer, *m_config.drawers[drawer]);
    return sections;
}

std::shared_ptr<DeviceMonitor> DrawerBank::startMonitor(
    const std::string &key, std::shared_ptr<DeviceMonitor> predecessor)
{
    // Stopped only once the new monitor has taken over its answer.
    auto monitor = std::make_shared<DeviceMonitor>(sectionsOf(key), predecessor, [link = m_link] {
        std::lock_guard guard(link->mutex);
        if (link->bank)
            link->bank->refreshIfChanged();
    });
    if (predecessor)
        predecessor->stop();
    monitor->start();
    m_monitors[key] = monitor;
    return monitor;
}

// Moves the running monitors and the handles to a new reading of the file:
// a device whose sections changed gets a new monitor, which takes over the
// old one's kicks, and every handle follows its drawer to its monitor.
void DrawerBank::apply(DrawerConfig config, const FileStamp &stamp)
{
    m_stamp = stamp;
    std::string problems;
    for (const std::string &problem : config.problems)
        problems += (problems.empty() ? "" : "\nKestrinPOS_USB: ") + problem;
    reportProblem("configuration", problems);
    const bool unread = config.unread;
    m_config = std::move(config);
    // A file that cannot be read now (being replaced, or named wrongly)
    // configures no new drawer, but takes none from a program that holds it.
    if (unread)
        return;

    std::vector<std::pair<std::string, std::shared_ptr<DeviceMonitor>>> replaced;
    for (auto entry = m_monitors.begin(); entry != m_monitors.end();) {
        auto monitor = entry->second.lock();
        if (monitor && monitor->sections() != sectionsOf(entry->first))
            replaced.emplace_back(entry->first, monitor);
        entry = monitor ? std::next(entry) : m_monitors.erase(entry);
    }
    for (auto &[key, old] : replaced) {
        if (sectionsOf(key).empty()) {
            old->stop();
            m_monitors.erase(key);
        } else {
            startMonitor(key, old);
        }
    }
    for (auto &[handle, held] : m_held) {
        const auto &settings = m_config.drawers[held.drawer];
        std::shared_ptr<DeviceMonitor> target;
        if (settings) {
            const std::string key = deviceKey(*settings);
            target = m_monitors[key].lock();
            if (!target)
                target = startMonitor(key, nullptr);
        }
        if (target == held.monitor)
            continue;
        if (held.monitor)
            held.monitor->handleGiven();
        if (target)
            target->handleTaken();
        held.monitor = std::move(target);
    }
}

// The running monitor of the drawer's device, or a new one (started set).
std::shared_ptr<DeviceMonitor> DrawerBank::monitorFor(int drawer, bool &started)
{
    const std::string key = deviceKey(*m_config.drawers[drawer]);
    std::shared_ptr<DeviceMonitor> monitor = m_monitors[key].lock();
    started = !monitor || !monitor->touch();
    if (started)
        monitor = startMonitor(key, std::move(monitor));
    return monitor;
}

std::int32_t DrawerBank::acquire(std::uint8_t drawerNumber)
{
    if (drawerNumber >= DrawerCount)
        return -1;
    refreshIfChanged();
    std::unique_lock lock(m_mutex);
    const std::string subject = "drawer " + std::to_string(drawerNumber + 1);
    if (!m_config.drawers[drawerNumber]) {
        // A refused section's problem has been told already, in one line.
        reportProblem(
            subject, m_config.refused[drawerNumber] ? "" : notConfigured(m_config, drawerNumber));
        return 0;
    }
    reportProblem(subject, {});

    bool started = false;
    std::shared_ptr<DeviceMonitor> monitor = monitorFor(drawerNumber, started);
    if (started) {
        lock.unlock();
        monitor->waitForFirstExchange(FirstAnswerWait);
        lock.lock();
        // The file may have changed meanwhile: the drawer's monitor now.
        if (!m_config.drawers[drawerNumber])
            return 0;
        monitor = monitorFor(drawerNumber, started);
    }
    if (!monitor->answering())
        return 0;
    const std::int32_t handle = newHandle();
    m_held[handle] = Held {drawerNumber, monitor};
    monitor->handleTaken();
    return handle;
}

// The next number not held, wrapping after INT32_MAX: a long-running host
// never gets a number that another handle still has.
std::int32_t DrawerBank::newHandle()
{
    for (;;) {
        const std::int32_t handle = m_nextHandle;
        m_nextHandle = m_nextHandle == INT32_MAX ? 1 : m_nextHandle + 1;
        if (!m_held.contains(handle))
            return handle;
    }
}

DrawerBank::Held *DrawerBank::find(std::int32_t handle)
{
    const auto entry = m_held.find(handle);
    if (entry == m_held.end() || !entry->second.monitor)
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
    if (entry->second.monitor)
        entry->second.monitor->handleGiven();
    m_held.erase(entry);
}

std::int16_t DrawerBank::status(std::int32_t handle)
{
    std::lock_guard guard(m_mutex);
    const Held *drawer = find(handle);
    if (!drawer || !drawer->monitor->answering())
        return 0;
    const DrawerSettings *settings = drawer->monitor->section(drawer->drawer);
    if (!settings)
        return 0;
    if (settings->sensor == Sensor::None)
        return 1;
    const std::optional<bool> high = drawer->monitor->sensorLevel();
    if (!high)
        return 0;
    return isOpenLevel(settings->sensor, *high) ? 2 : 1;
}

std::int16_t DrawerBank::open(std::int32_t handle)
{
    std::lock_guard guard(m_mutex);
    Held *drawer = find(handle);
    if (!drawer || !drawer->monitor->answering())
        return 0;
    const DrawerSettings *settings = drawer->monitor->section(drawer->drawer);
    if (!settings)
        return 0;
    drawer->monitor->kick(drawer->drawer, kickBytes(*settings));
    return 1;
}

} // namespace drawerdriver
