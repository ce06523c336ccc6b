// kestrin-drawerd's drawers: one device monitor per device of drawers.conf,
// shared by every client, and the drawer objects on the bus that
// follow them.
#pragma once

#include "alarm.h"
#include "client/sdbusref.h"
#include "config/config.h"
#include "history.h"
#include "metrics.h"
#include "monitor/monitor.h"
#include "refusals.h"

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

namespace drawerservice {

using drawerdriver::DeviceMonitor;
using drawerdriver::DrawerSettings;

class DrawerService;

struct Drawer {
    DrawerService *service = nullptr;
    int number = 0; // 1 to DrawerCount
    std::string path;
    std::optional<DrawerSettings> settings;
    std::shared_ptr<DeviceMonitor> monitor;
    bool present = false;
    bool open = false;
    std::uint64_t changedUs = 0;
    std::optional<std::chrono::steady_clock::time_point> lastKick;
    LeftOpenAlarm alarm;
};

class DrawerService {
public:
    DrawerService(sd_event *event, sd_bus *bus, std::string configPath);
    ~DrawerService();
    DrawerService(const DrawerService &) = delete;
    DrawerService &operator=(const DrawerService &) = delete;

    // Publishes the objects, starts the monitors, then takes the bus name,
    // so that the first client already sees the devices' first answers.
    // A negative errno on failure, told on standard error.
    int start();
    // Reads drawers.conf again; only devices whose sections changed get a
    // new monitor.
    void reload();

    int openDrawer(Drawer &drawer, sd_bus_message *call, const char *reason, sd_bus_error *error);
    // The History and HistoryPage methods: rows of the record, oldest
    // first; keyed, pages start after a row's time and id.
    int readHistory(sd_bus_message *call, bool keyed);
    bool historyWorking() const { return m_history && m_history->working(); }
    const std::array<Drawer, drawerdriver::DrawerCount> &drawers() const { return m_drawers; }

private:
    void watchConfigFile();
    void scheduleReload();
    void refresh();
    void announce(Drawer &drawer, bool state, bool settings);
    // The record: each event is committed before this returns.
    void record(Event event, std::int64_t *id = nullptr);
    // A refused Open: recorded, or folded into the row of the same
    // caller's refusal just before (refusals.cpp).
    void recordRefusal(const Event &event, const char *refusal, const char *sender);
    // Writes the counts of the folds that ended by then (all, with no time).
    void writeFoldedRefusals(std::optional<RefusalFolder::Clock::time_point> now);
    void recordChange(Drawer &drawer, bool wasPresent, bool wasOpen);
    void soundAlarms();
    void takeUndelivered();
    void recordService(const char *kind);
    void trimHistory();

    static int onRefreshTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onFoldTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onTrimTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onReloadTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onConfigEvent(
        sd_event_source *source, const struct inotify_event *event, void *userdata);
    static int onHangUp(
        sd_event_source *source, const struct signalfd_siginfo *info, void *userdata);

    sd_event *m_event;
    sd_bus *m_bus;
    const std::string m_configPath;
    std::array<Drawer, drawerdriver::DrawerCount> m_drawers;
    // Each holds one handle, so that it keeps watching without callers.
    std::map<std::string, std::shared_ptr<DeviceMonitor>> m_monitors;
    drawerdriver::EventSourceRef m_refreshTimer;
    drawerdriver::EventSourceRef m_reloadTimer;
    drawerdriver::EventSourceRef m_trimTimer;
    // Armed only while folded refusals wait to be counted.
    drawerdriver::EventSourceRef m_foldTimer;
    RefusalFolder m_refusals;
    std::unique_ptr<History> m_history;
    std::unique_ptr<MetricsFile> m_metrics;
    int m_keepDays = 400;
    // Events are recorded once the service owns its name; the state found
    // at start is no change.
    bool m_recording = false;
    // Kicks the monitors could not deliver, told on their threads.
    struct Undelivered {
        std::mutex mutex;
        std::vector<int> drawers;
    };
    std::shared_ptr<Undelivered> m_undelivered = std::make_shared<Undelivered>();
};

} // namespace drawerservice
