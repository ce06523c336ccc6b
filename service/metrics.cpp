#include "metrics.h"

#include "drawerservice.h"
#include "journal.h"

#include "config/background.h"
#include "config/ownfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drawerservice {

namespace bus = drawerdriver::bus;

using drawerdriver::MetricsFileName;

namespace {

// A burst of changes (a kick, the drawer opening) makes one write.
constexpr std::uint64_t ChangeDelayUs = 500'000;
constexpr std::uint64_t MinuteUs = 60'000'000;

void header(std::string &out, const char *name, const char *type, const char *help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string &out, const char *name, int drawer, const std::string &value,
    const char *result = nullptr)
{
    out.append(name).append("{drawer=\"").append(std::to_string(drawer)).append("\"");
    if (result)
        out.append(",result=\"").append(result).append("\"");
    out.append("} ").append(value).append("\n");
}

std::string flag(bool value)
{
    return value ? "1" : "0";
}

// The folder, made if missing and opened without following a link: the
// service's own, readable by node-exporter's user whatever the umask.
int openFolder(const std::string &folder, std::string &error)
{
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        error = std::string("cannot make the folder: ") + std::strerror(errno);
        return -1;
    }
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat node = {};
    if (dir < 0 || ::fstat(dir, &node) != 0) {
        error = std::string("cannot open the folder: ")
            + (errno == ELOOP || errno == ENOTDIR ? "it is no folder but a link or a file"
                                                  : std::strerror(errno));
    } else if (node.st_uid != ::geteuid()) {
        error = "the folder belongs to another user";
    } else if ((node.st_mode & 07777) != 0755 && ::fchmod(dir, 0755) != 0) {
        error = std::string("cannot make the folder readable: ") + std::strerror(errno);
    } else {
        return dir;
    }
    if (dir >= 0)
        ::close(dir);
    return -1;
}

} // namespace

MetricsFile::MetricsFile(sd_event *event, const DrawerService &service, std::string folder)
    : m_service(service), m_folder(std::move(folder))
{
    sd_event_add_time_relative(
        event, m_writeTimer.out(), CLOCK_MONOTONIC, 0, 100'000, onWriteTimer, this);
    sd_event_source_set_enabled(m_writeTimer, SD_EVENT_ONESHOT);
    sd_event_add_time_relative(
        event, m_minuteTimer.out(), CLOCK_MONOTONIC, MinuteUs, 1'000'000, onMinuteTimer, this);
    for (Counters &counters : m_counters)
        counters.seen = Clock::now();
    m_thread = drawerdriver::backgroundThread([this] { run(); });
}

MetricsFile::~MetricsFile()
{
    {
        std::lock_guard guard(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void MetricsFile::count(const Event &event)
{
    if (event.drawer < 1 || event.drawer > int(m_counters.size()))
        return;
    Counters &counters = m_counters[std::size_t(event.drawer - 1)];
    if (event.kind == bus::event::Kick)
        ++counters.kicksDone;
    else if (event.kind == bus::event::KickRefused)
        ++counters.kicksRefused;
    else if (event.kind == bus::event::KickUndelivered)
        ++counters.kicksUndelivered;
    else if (event.kind == bus::event::Opened)
        ++counters.openings;
    else if (event.kind == bus::event::LeftOpen)
        ++counters.leftOpenAlarms;
    changed();
}

void MetricsFile::changed()
{
    observe();
    int enabled = SD_EVENT_OFF;
    if (!m_writeTimer || sd_event_source_get_enabled(m_writeTimer, &enabled) < 0
        || enabled != SD_EVENT_OFF)
        return;
    sd_event_source_set_time_relative(m_writeTimer, ChangeDelayUs);
    sd_event_source_set_enabled(m_writeTimer, SD_EVENT_ONESHOT);
}

void MetricsFile::observe()
{
    const auto now = Clock::now();
    for (const Drawer &drawer : m_service.drawers()) {
        Counters &counters = m_counters[std::size_t(drawer.number - 1)];
        if (counters.open)
            counters.openSeconds += std::chrono::duration<double>(now - counters.seen).count();
        counters.open = drawer.open;
        counters.seen = now;
    }
}

std::string MetricsFile::text() const
{
    std::string out;
    const auto &drawers = m_service.drawers();
    const auto counters = [this](const Drawer &d) -> const Counters & {
        return m_counters[std::size_t(d.number - 1)];
    };
    // A metric with one sample per configured drawer.
    const auto perDrawer = [&](const char *name, const char *type, const char *help, auto value) {
        header(out, name, type, help);
        for (const Drawer &d : drawers)
            if (d.settings)
                sample(out, name, d.number, value(d));
    };
    perDrawer("kestrin_drawer_present", "gauge",
        "Whether the drawer's device answers (1) or not (0).",
        [](const Drawer &d) { return flag(d.present); });
    header(out, "kestrin_drawer_open", "gauge",
        "Whether the drawer is open (1) or closed (0), for drawers with a sensor.");
    for (const Drawer &d : drawers)
        if (d.settings && d.settings->sensor != drawerdriver::Sensor::None)
            sample(out, "kestrin_drawer_open", d.number, flag(d.open));
    perDrawer("kestrin_drawer_left_open", "gauge",
        "Whether the drawer's left-open alarm is sounding (1) or not (0).",
        [](const Drawer &d) { return flag(d.open && d.alarm.sounded()); });
    const char *kicks = "kestrin_drawer_kicks_total";
    header(
        out, kicks, "counter", "Kicks asked of the drawer since the service started, by result.");
    for (const Drawer &d : drawers) {
        if (!d.settings)
            continue;
        sample(out, kicks, d.number, std::to_string(counters(d).kicksDone), "done");
        sample(out, kicks, d.number, std::to_string(counters(d).kicksRefused), "refused");
        sample(out, kicks, d.number, std::to_string(counters(d).kicksUndelivered), "undelivered");
    }
    perDrawer("kestrin_drawer_openings_total", "counter",
        "Times the drawer's sensor saw it open since the service started.",
        [&](const Drawer &d) { return std::to_string(counters(d).openings); });
    perDrawer("kestrin_drawer_open_seconds_total", "counter",
        "Seconds the drawer has been open since the service started.", [&](const Drawer &d) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.3f", counters(d).openSeconds);
            return std::string(seconds);
        });
    perDrawer("kestrin_drawer_left_open_alarms_total", "counter",
        "Left-open alarms the drawer sounded since the service started.",
        [&](const Drawer &d) { return std::to_string(counters(d).leftOpenAlarms); });
    header(out, "kestrin_drawer_history_working", "gauge",
        "Whether the service's history can be written (1) or not (0).");
    out.append("kestrin_drawer_history_working ")
        .append(flag(m_service.historyWorking()))
        .append("\n");
    header(out, "kestrin_drawer_history_refusals_unwritten", "gauge",
        "Refusals counted but not yet written to the history, for lack of room on its disk.");
    out.append("kestrin_drawer_history_refusals_unwritten ")
        .append(std::to_string(m_service.unwrittenRefusals()))
        .append("\n");
    return out;
}

void MetricsFile::write()
{
    observe();
    {
        std::lock_guard guard(m_mutex);
        m_next = text();
    }
    m_wake.notify_one();
}

void MetricsFile::run()
{
    for (;;) {
        std::string content;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_next || m_stopping; });
            if (!m_next)
                return;
            content = std::move(*m_next);
            m_next.reset();
        }
        const std::string error = replaceFile(content);
        if (!error.empty() && !m_failing)
            logLine(LOG_WARNING, "cannot write the metrics file in %s: %s", m_folder.c_str(),
                error.c_str());
        m_failing = !error.empty();
    }
}

std::string MetricsFile::replaceFile(const std::string &content)
{
    std::string error;
    const int dir = openFolder(m_folder, error);
    if (dir < 0)
        return error;
    ::close(dir);
    // Mode 0644 whatever the service's umask: node-exporter reads it.
    return drawerdriver::replaceOwnFile(m_folder + "/" + MetricsFileName, content, 0644);
}

int MetricsFile::onWriteTimer(sd_event_source *, std::uint64_t, void *userdata)
{
    static_cast<MetricsFile *>(userdata)->write();
    return 0;
}

int MetricsFile::onMinuteTimer(sd_event_source *source, std::uint64_t, void *userdata)
{
    static_cast<MetricsFile *>(userdata)->write();
    sd_event_source_set_time_relative(source, MinuteUs);
    return sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
}

} // namespace drawerservice
