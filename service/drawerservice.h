// kestrin-drawerd's drawers: one device monitor per device of drawers.conf,
// shared by every client, and the eight drawer objects on the bus that
// follow them.
#pragma once

#include "config/config.h"
#include "monitor/monitor.h"

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

namespace drawerservice {

using drawerdriver::DeviceMonitor;
using drawerdriver::DrawerSettings;

class DrawerService;

struct Drawer {
    DrawerService *service = nullptr;
    int number = 0; // 1 to 8
    std::string path;
    std::optional<DrawerSettings> settings;
    std::shared_ptr<DeviceMonitor> monitor;
    bool present = false;
    bool open = false;
    std::uint64_t changedUs = 0;
    std::optional<std::chrono::steady_clock::time_point> lastKick;
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

private:
    void watchConfigFile();
    void scheduleReload();
    void refresh();
    void announce(Drawer &drawer, bool state, bool settings);

    static int onRefreshTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
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
    sd_event_source *m_refreshTimer = nullptr;
    sd_event_source *m_reloadTimer = nullptr;
};

// At most ReasonLimit characters of the text, without control characters.
std::string cleanReason(const std::string &reason);

} // namespace drawerservice
