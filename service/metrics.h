// kestrin-drawerd's figures for Prometheus: a file in the Prometheus text
// format, in a folder of the service's own, which node-exporter's textfile
// collector reads through the link kestrin-drawer-setup metrics on makes.
// The file is replaced whole, never written in place, within a second of a
// change and once a minute otherwise, so that its age tells a stalled
// service. Counters count from the service's start. The loop makes the
// text; a thread of the file's own writes it, since replacing a file syncs
// it to the disk, which the loop never waits for.
#pragma once

#include "busapi.h"
#include "client/sdbusref.h"
#include "history.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <systemd/sd-event.h>

namespace drawerservice {

class DrawerService;

class MetricsFile {
public:
    // Writes into folder (made 0755 if missing) the service's drawers and
    // history state, first at once.
    MetricsFile(sd_event *event, const DrawerService &service, std::string folder);
    // Writes the last text asked for, then ends.
    ~MetricsFile();
    MetricsFile(const MetricsFile &) = delete;
    MetricsFile &operator=(const MetricsFile &) = delete;

    // Counts a recorded event (kicks, openings, alarms) and writes soon.
    void count(const Event &event);
    // A drawer's state changed: the file follows within a second.
    void changed();

private:
    using Clock = std::chrono::steady_clock;
    struct Counters {
        std::uint64_t kicksDone = 0;
        std::uint64_t kicksRefused = 0;
        std::uint64_t kicksUndelivered = 0;
        std::uint64_t openings = 0;
        std::uint64_t leftOpenAlarms = 0;
        double openSeconds = 0;
        bool open = false; // as last seen, to add up the open time
        Clock::time_point seen;
    };

    // Adds the time the open drawers have been open since last seen.
    void observe();
    std::string text() const;
    void write();
    void run();
    // Empty on success, else what failed.
    std::string replaceFile(const std::string &content);

    static int onWriteTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onMinuteTimer(sd_event_source *source, std::uint64_t usec, void *userdata);

    const DrawerService &m_service;
    const std::string m_folder;
    std::array<Counters, drawerdriver::DrawerCount> m_counters;
    drawerdriver::EventSourceRef m_writeTimer;
    drawerdriver::EventSourceRef m_minuteTimer;

    // The text for the thread, the newest only.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<std::string> m_next;
    bool m_stopping = false;
    bool m_failing = false; // the thread's: told once until a write succeeds again
    std::thread m_thread;
};

} // namespace drawerservice
