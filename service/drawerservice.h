// kestrin-drawerd's drawers: one device monitor per device of drawers.conf,
// shared by every client, and the drawer objects on the bus that
// follow them.
#pragma once

#include "alarm.h"
#include "client/sdbusref.h"
#include "config/config.h"
#include "history.h"
#include "monitor/monitor.h"

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
    // The History method: rows of the record, oldest first.
    int readHistory(sd_bus_message *call);
    bool historyWorking() const { return m_history && m_history->working(); }

private:
    void watchConfigFile();
    void scheduleReload();
    void refresh();
    void announce(Drawer &drawer, bool state, bool settings);
    // The record: each event is committed before this returns.
    void record(Event event);
    void recordChange(Drawer &drawer, bool wasPresent, bool wasOpen);
    void soundAlarms();
    void takeUndelivered();
    void recordService(const char *kind);
    void trimHistory();

    static int onRefreshTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
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
    std::unique_ptr<History> m_history;
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

// At most ReasonLimit characters of the text, without control characters.
std::string cleanReason(const std::string &reason);

} // namespace drawerservice
