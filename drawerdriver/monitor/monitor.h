// One device's monitor: a worker thread that talks to the device and keeps
// its latest state, so that the library's entry points answer at once and
// never wait on the device. Drawers on one device (a printer with a Y-cable
// on both connectors) share its monitor.
//
// Timing. The worker asks the device every PollInterval after the last
// exchange ended, and an exchange, opening or connecting included, ends
// within ExchangeLimit. The device counts as there while its latest
// question was answered in time, judged by the questions and never by the
// age of an answer: a worker that waits for the processor between two
// questions never turns a device that answers into a missing one. A
// question still under way after UnansweredLimit counts as unanswered, so
// that a device that stops answering reads as gone within it even while the
// worker cannot run. A device busy with another program (printing) keeps
// its question under way, tried again, until the question's deadline.
//
// Locks. DrawerBank's lock may be held while a monitor's own lock is taken,
// never the other way round; the worker thread holds its monitor's lock only
// to read or write the state below, never while it talks to the device, and
// calls back into the bank holding no lock at all.
//
// Print jobs. A receipt printer's jobs (the drawer service's Print) go
// through its monitor, one after another, whole. Inside a job the monitor
// asks and kicks only between two of the job's commands; the drawer counts
// as there while the printer takes the job's bytes, and as gone once it
// has taken none for the stall limit.
#pragma once

#include "config/config.h"
#include "monitor/printjob.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace drawerdriver {

inline constexpr std::chrono::milliseconds PollInterval {100};
inline constexpr std::chrono::milliseconds ExchangeLimit {250};
inline constexpr std::chrono::milliseconds UnansweredLimit {1000};
static_assert(ExchangeLimit < UnansweredLimit, "a question ends before it counts as unanswered");
inline constexpr int ConnectTimeoutMs = 200;
static_assert(std::chrono::milliseconds(ConnectTimeoutMs) < ExchangeLimit,
    "a connection leaves time for the question");
// After failed exchanges the next attempt waits longer, up to this.
inline constexpr std::chrono::milliseconds LongestBackoff {1000};
// A monitor with no handle held and no call for this long lets go.
inline constexpr std::chrono::milliseconds IdleLimit {2000};
// How long a busy device waits before it is worth a message.
inline constexpr std::chrono::milliseconds BusyGrace {2000};
// How long an accepted kick is tried on a busy or absent device: long
// enough to outlast the printing of a receipt.
inline constexpr std::chrono::milliseconds KickDeadline {3000};
// A printer that takes none of a job's bytes for this long is not there.
inline constexpr std::chrono::milliseconds PrintStallLimit {2000};
// A job that its printer takes nothing of for this long is given up (a
// printer out of paper has that long to be seen to).
inline constexpr std::chrono::milliseconds PrintGiveUp {30000};
// How long a status question inside a job may wait for its answer, behind
// the bytes of the job that went before it.
inline constexpr std::chrono::milliseconds InJobAnswerLimit {1000};
// How often a monitor looks whether the configuration file has changed.
inline constexpr std::chrono::milliseconds ConfigCheckInterval {500};

// A drawer section and its number (0 for "Drawer #1").
using DrawerSection = std::pair<int, DrawerSettings>;

// The key that names one device: its node, or its network address.
std::string deviceKey(const DrawerSettings &settings);

// A kick accepted by OpenDrawer and not yet delivered.
struct PendingKick {
    int drawer = 0; // 0 for "Drawer #1"
    std::vector<std::uint8_t> bytes;
    std::chrono::steady_clock::time_point deadline;
    std::uint64_t tag = 0; // the caller's own name for it
};

// How a kick ended: the device took it whole, took part of it (it may have
// fired), or never took it before the kick's deadline.
enum class KickEnd { Delivered, CutShort, Undelivered };

class DeviceMonitor : public std::enable_shared_from_this<DeviceMonitor> {
public:
    // The sections of every drawer on the device; the first with a sensor
    // gives the device settings (protocol, speed, hold). A predecessor on
    // the same device is waited for, so that two monitors never fight over
    // it, and its undelivered kicks are taken over. checkConfig is called
    // on the worker thread every ConfigCheckInterval.
    DeviceMonitor(std::vector<DrawerSection> sections,
        std::shared_ptr<DeviceMonitor> predecessor = nullptr,
        std::function<void()> checkConfig = {});
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor &) = delete;
    DeviceMonitor &operator=(const DeviceMonitor &) = delete;

    void start();
    const std::vector<DrawerSection> &sections() const { return m_sections; }
    // The section of one of the monitor's drawers, or null.
    const DrawerSettings *section(int drawer) const;

    // Waits until the first exchange has ended, or for the timeout.
    void waitForFirstExchange(std::chrono::milliseconds timeout);
    // The device answers: its latest question was answered in time, and a
    // question under way is younger than UnansweredLimit.
    bool answering() const;
    // The sensor level of the latest answer, where the device reports one.
    std::optional<bool> sensorLevel() const;

    // A call about one of the monitor's drawers has come: the monitor stays
    // for at least IdleLimit more. False if it has already decided to end.
    bool touch();
    void handleTaken();
    void handleGiven();
    // Hands a kick to the worker, which sends it at once and tries again on
    // a busy device until the kick's deadline.
    void kick(int drawer, std::vector<std::uint8_t> bytes, std::uint64_t tag = 0);
    // Queues a print job behind the device's others. It prints whole, its
    // printer opened or connected for it where the device is not held; a
    // printer that cannot be reached within the stall limit, or that takes
    // nothing for PrintGiveUp, fails it.
    void print(std::shared_ptr<PrintJob> job);
    // How long a printer may take nothing of a job and still count as
    // there; tests shorten it. Set before start().
    void setStallLimit(std::chrono::milliseconds limit) { m_stallLimit = limit; }
    // Called on the worker thread with the drawer (0 for "Drawer #1") and
    // tag of each kick as it ends; one the device never took in time is
    // also told by reportProblem. Set before start().
    void setKickEndHandler(std::function<void(int drawer, std::uint64_t tag, KickEnd)> handler)
    {
        m_onKickEnd = std::move(handler);
    }
    // Called on the worker thread whenever what answering() or sensorLevel()
    // say has changed, so that a watcher need not ask them again and again.
    // Set before start().
    void setChangeHandler(std::function<void()> handler) { m_onChange = std::move(handler); }

    // Asks the worker to let go of the device and end. Its print jobs not
    // begun wait for a successor on the device; for good: there is none,
    // and they end unprinted.
    void stop(bool forGood = false);
    bool finished() const;
    // Waits for the worker to end, at most until the deadline.
    bool waitUntilFinished(std::chrono::steady_clock::time_point deadline) const;

private:
    class Worker;
    struct Work;

    Work takeWork(Worker &worker);
    std::deque<PendingKick> takeKicks();
    std::deque<std::shared_ptr<PrintJob>> takeJobs();
    // A job's printer: printing, taking its bytes, taking none for the
    // stall limit, done.
    void printingStarted();
    void printerTook();
    void printerStalled();
    void printingEnded();
    void inheritAnswer(DeviceMonitor &predecessor);
    void markExchangeDone();
    // When the question under way was asked: now, unless one still is.
    std::chrono::steady_clock::time_point questionAsked();
    void questionEnded(bool answered);
    void recordAnswer(std::optional<bool> level);
    void recordGone();
    void update(const std::function<void()> &change);
    void wake();
    void run();
    void serve(Worker &worker);

    const std::vector<DrawerSection> m_sections;
    std::shared_ptr<DeviceMonitor> m_predecessor;
    const std::function<void()> m_checkConfig;
    std::function<void(int drawer, std::uint64_t tag, KickEnd)> m_onKickEnd;
    std::function<void()> m_onChange;
    int m_wake[2] = {-1, -1};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    // The latest question that ended was answered in time, or a status
    // came by itself since.
    bool m_answered = false;
    std::optional<bool> m_level;
    std::optional<std::chrono::steady_clock::time_point> m_askedAt; // a question under way
    bool m_firstExchangeDone = false;
    std::deque<PendingKick> m_kicks;
    std::deque<std::shared_ptr<PrintJob>> m_jobs;
    std::chrono::milliseconds m_stallLimit = PrintStallLimit;
    bool m_printing = false;
    Clock::time_point m_lastTaken;
    int m_handles = 0;
    std::chrono::steady_clock::time_point m_lastCall;
    bool m_stopRequested = false;
    bool m_stopForGood = false;
    bool m_ending = false;
    bool m_finished = false;
};

} // namespace drawerdriver
