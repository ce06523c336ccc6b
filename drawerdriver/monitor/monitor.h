// One device's monitor: a worker thread that talks to the device and keeps
// its latest state, so that the library's entry points answer at once and
// never wait on the device. Drawers on one device (a printer with a Y-cable
// on both connectors) share its monitor.
#pragma once

#include "config/config.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace drawerdriver {

// How old the freshest answer may be for the device to count as there.
inline constexpr std::chrono::milliseconds AnswerLifetime {300};
// The time between two status exchanges while the device answers.
inline constexpr std::chrono::milliseconds PollInterval {100};
// The longest an exchange holds the device, opening or connecting included.
inline constexpr std::chrono::milliseconds ExchangeLimit {250};
inline constexpr int ConnectTimeoutMs = 200;
// After failed exchanges the next attempt waits longer, up to this.
inline constexpr std::chrono::milliseconds LongestBackoff {1000};
// A monitor with no handle held and no call for this long lets go.
inline constexpr std::chrono::milliseconds IdleLimit {2000};
// How long a busy device waits before it is worth a message.
inline constexpr std::chrono::milliseconds BusyGrace {2000};

// A drawer section and its number (0 for "Drawer #1").
using DrawerSection = std::pair<int, DrawerSettings>;

// The key that names one device: its node, or its network address.
std::string deviceKey(const DrawerSettings &settings);

class DeviceMonitor : public std::enable_shared_from_this<DeviceMonitor> {
public:
    // The sections of every drawer on the device; the first one's device
    // settings (protocol, speed, hold) apply. A predecessor on the same
    // device is waited for, so that two monitors never fight over it.
    DeviceMonitor(
        std::vector<DrawerSection> sections, std::shared_ptr<DeviceMonitor> predecessor = nullptr);
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor &) = delete;
    DeviceMonitor &operator=(const DeviceMonitor &) = delete;

    void start();
    const std::vector<DrawerSection> &sections() const { return m_sections; }

    // Waits until the first exchange has ended, or for the timeout.
    void waitForFirstExchange(std::chrono::milliseconds timeout);
    // An answer at most AnswerLifetime old, from a device still there.
    bool hasFreshAnswer() const;
    // The sensor level of that answer, where the device reports one.
    std::optional<bool> sensorLevel() const;

    // A call about one of the monitor's drawers has come.
    void touch();
    void handleTaken();
    void handleGiven();
    // Hands the kick to the worker, which sends it at once.
    void kick(std::vector<std::uint8_t> bytes);

    // Asks the worker to let go of the device and end.
    void stop();
    bool finished() const;
    // Waits for the worker to end, at most until the deadline.
    bool waitUntilFinished(std::chrono::steady_clock::time_point deadline) const;

private:
    class Worker;

    const std::vector<DrawerSection> m_sections;
    std::shared_ptr<DeviceMonitor> m_predecessor;
    int m_wake[2] = {-1, -1};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::chrono::steady_clock::time_point m_lastAnswer {};
    bool m_answered = false;
    std::optional<bool> m_level;
    bool m_firstExchangeDone = false;
    std::deque<std::vector<std::uint8_t>> m_kicks;
    int m_handles = 0;
    std::chrono::steady_clock::time_point m_lastCall;
    bool m_stopRequested = false;
    bool m_finished = false;

    void wake();
    void run();
};

} // namespace drawerdriver
