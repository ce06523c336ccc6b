#include "drawerservice.h"

#include "busapi.h"
#include "journal.h"
#include "protocols/protocol.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <vector>

#include <pwd.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace drawerservice {

using namespace drawerdriver;
using Clock = std::chrono::steady_clock;

namespace {

// File changes come in bursts (write, rename): one reload after the last.
constexpr std::uint64_t ReloadDelayUs = 100'000;
// Old rows of the history are deleted at start and then once a day.
constexpr std::uint64_t DayUs = 86'400'000'000;
// The most rows one History call returns, and about the most bytes, well
// under the bus's 32 MiB for a message; the caller asks again for more.
constexpr std::uint32_t MostRowsPerCall = 10'000;
constexpr std::size_t MostBytesPerCall = 4 << 20;
// Reads held while the history is being opened, at the start.
constexpr std::size_t MostEarlyReads = 64;

std::uint64_t realtimeUs()
{
    return std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
                             .count());
}

int getProperty(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
    void *userdata, sd_bus_error *error)
{
    const Drawer &drawer = *static_cast<const Drawer *>(userdata);
    const std::string_view name = property;
    if (name == bus::NumberProperty)
        return sd_bus_message_append(reply, "y", std::uint8_t(drawer.number));
    if (name == bus::ConfiguredProperty)
        return sd_bus_message_append(reply, "b", int(drawer.settings.has_value()));
    if (name == bus::PresentProperty)
        return sd_bus_message_append(reply, "b", int(drawer.present));
    if (name == bus::OpenProperty)
        return sd_bus_message_append(reply, "b", int(drawer.open));
    if (name == bus::HasSensorProperty)
        return sd_bus_message_append(
            reply, "b", int(drawer.settings && drawer.settings->sensor != Sensor::None));
    if (name == bus::DeviceProperty)
        return sd_bus_message_append(
            reply, "s", drawer.settings ? drawer.settings->device.c_str() : "");
    if (name == bus::ChangedProperty)
        return sd_bus_message_append(reply, "t", drawer.changedUs);
    return sd_bus_error_setf(
        error, SD_BUS_ERROR_UNKNOWN_PROPERTY, "Drawers have no property %s.", property);
}

int onOpen(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    const char *reason = nullptr;
    const int r = sd_bus_message_read(call, "s", &reason);
    if (r < 0)
        return r;
    Drawer &drawer = *static_cast<Drawer *>(userdata);
    return drawer.service->openDrawer(drawer, call, reason, std::nullopt);
}

int onOpenBefore(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    const char *reason = nullptr;
    std::uint64_t deadlineUs = 0;
    const int r = sd_bus_message_read(call, "st", &reason, &deadlineUs);
    if (r < 0)
        return r;
    // The steady clock is CLOCK_MONOTONIC, the caller's clock too. A
    // deadline past the furthest one allowed (a caller's "no deadline") is
    // taken as that one.
    const auto latest = std::chrono::duration_cast<std::chrono::microseconds>(
        (Clock::now() + bus::FurthestDeadline).time_since_epoch());
    const auto deadline = Clock::time_point(std::chrono::microseconds(
        std::int64_t(std::min<std::uint64_t>(deadlineUs, std::uint64_t(latest.count())))));
    Drawer &drawer = *static_cast<Drawer *>(userdata);
    return drawer.service->openDrawer(drawer, call, reason, deadline);
}

int onPrint(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    int fd = -1;
    const char *title = nullptr;
    const char *user = nullptr;
    const int r = sd_bus_message_read(call, "hss", &fd, &title, &user);
    if (r < 0)
        return r;
    Drawer &drawer = *static_cast<Drawer *>(userdata);
    return drawer.service->print(drawer, call, fd, title, user);
}

int onReload(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    static_cast<DrawerService *>(userdata)->reload();
    return sd_bus_reply_method_return(call, "");
}

// Methods carry SD_BUS_VTABLE_UNPRIVILEGED: who may call them is the bus
// policy's decision, not sd-bus's capability check.
const sd_bus_vtable DrawerVtable[] = {SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY(bus::NumberProperty, "y", getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY(
        bus::ConfiguredProperty, "b", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY(bus::PresentProperty, "b", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY(bus::OpenProperty, "b", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY(
        bus::HasSensorProperty, "b", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY(bus::DeviceProperty, "s", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY(bus::ChangedProperty, "t", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_METHOD_WITH_NAMES(
        bus::OpenMethod, "s", SD_BUS_PARAM(reason), "", , onOpen, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(bus::OpenBeforeMethod, "st",
        SD_BUS_PARAM(reason) SD_BUS_PARAM(deadline), "", , onOpenBefore,
        SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(bus::PrintMethod, "hss",
        SD_BUS_PARAM(job) SD_BUS_PARAM(title) SD_BUS_PARAM(user), "t", SD_BUS_PARAM(id), onPrint,
        SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL_WITH_NAMES(bus::LeftOpenSignal, "t", SD_BUS_PARAM(seconds), 0),
    SD_BUS_VTABLE_END};

int getHistoryWorking(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
    void *userdata, sd_bus_error *)
{
    return sd_bus_message_append(
        reply, "b", int(static_cast<const DrawerService *>(userdata)->historyWorking()));
}

int onHistory(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    return static_cast<DrawerService *>(userdata)->readHistory(call, DrawerService::RowFormat::Old);
}

int onHistoryPage(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    return static_cast<DrawerService *>(userdata)->readHistory(
        call, DrawerService::RowFormat::Keyed);
}

int onHistoryRows(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    return static_cast<DrawerService *>(userdata)->readHistory(
        call, DrawerService::RowFormat::WithState);
}

const sd_bus_vtable ManagerVtable[] = {SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY(bus::HistoryWorkingProperty, "b", getHistoryWorking, 0,
        SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_METHOD(bus::ReloadMethod, "", "", onReload, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(bus::HistoryMethod, "xxyuu",
        SD_BUS_PARAM(since) SD_BUS_PARAM(until) SD_BUS_PARAM(drawer) SD_BUS_PARAM(skip)
            SD_BUS_PARAM(limit),
        bus::HistoryReply, SD_BUS_PARAM(events), onHistory, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(bus::HistoryPageMethod, "xtxyu",
        SD_BUS_PARAM(since) SD_BUS_PARAM(after) SD_BUS_PARAM(until) SD_BUS_PARAM(drawer)
            SD_BUS_PARAM(limit),
        bus::HistoryPageReply, SD_BUS_PARAM(events) SD_BUS_PARAM(more), onHistoryPage,
        SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(bus::HistoryRowsMethod, "xtxyu",
        SD_BUS_PARAM(since) SD_BUS_PARAM(after) SD_BUS_PARAM(until) SD_BUS_PARAM(drawer)
            SD_BUS_PARAM(limit),
        bus::HistoryRowsReply, SD_BUS_PARAM(events) SD_BUS_PARAM(more), onHistoryRows,
        SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

using RowFormat = DrawerService::RowFormat;

const char *rowSignature(RowFormat format)
{
    return format == RowFormat::Old  ? bus::OldHistoryRowSignature
        : format == RowFormat::Keyed ? bus::HistoryRowSignature
                                     : bus::StateRowSignature;
}

// A row as HistoryRows gives it; HistoryPage leaves out the state, and
// History the id and repeats too.
int appendEvent(sd_bus_message *reply, const Event &event, RowFormat format)
{
    if (format == RowFormat::Old)
        return sd_bus_message_append(reply, bus::OldHistoryRowSignature, event.timeUs,
            std::uint8_t(event.drawer), event.kind.c_str(), event.uid.value_or(-1),
            event.user.c_str(), event.pid.value_or(-1), event.program.c_str(), event.reason.c_str(),
            event.seconds.value_or(-1.0));
    const std::string fields(rowSignature(format) + 1, std::strlen(rowSignature(format)) - 2);
    int r = sd_bus_message_open_container(reply, 'r', fields.c_str());
    if (r >= 0)
        r = sd_bus_message_append(reply, "txysxsxssdu", std::uint64_t(event.id), event.timeUs,
            std::uint8_t(event.drawer), event.kind.c_str(), event.uid.value_or(-1),
            event.user.c_str(), event.pid.value_or(-1), event.program.c_str(), event.reason.c_str(),
            event.seconds.value_or(-1.0), event.repeats);
    if (r >= 0 && format == RowFormat::WithState)
        r = sd_bus_message_append(reply, "s", event.state.c_str());
    return r >= 0 ? sd_bus_message_close_container(reply) : r;
}

int sendEvents(sd_bus_message *call, const std::vector<Event> &events, RowFormat format, bool more)
{
    MessageRef reply;
    int r = sd_bus_message_new_method_return(call, reply.out());
    if (r >= 0)
        r = sd_bus_message_open_container(reply, 'a', rowSignature(format));
    for (const Event &event : events)
        if (r >= 0)
            r = appendEvent(reply, event, format);
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    if (r >= 0 && format != RowFormat::Old)
        r = sd_bus_message_append(reply, "b", int(more));
    if (r >= 0)
        r = sd_bus_send(nullptr, reply, nullptr);
    return r;
}

} // namespace

DrawerService::DrawerService(sd_event *event, sd_bus *bus, std::string configPath)
    : m_event(event), m_bus(bus), m_configPath(std::move(configPath))
{
    for (int i = 0; i < DrawerCount; ++i) {
        m_drawers[i].service = this;
        m_drawers[i].number = i + 1;
        m_drawers[i].path = bus::drawerPath(i + 1);
    }
}

// The record is complete before the writer ends: every Open answered,
// every kick's end written (a kick the device never took says so).
DrawerService::~DrawerService()
{
    abandonOpens();
    abandonPrints();
    writeFoldedRefusals(std::nullopt);
    if (m_recording)
        recordService(bus::event::ServiceStop);
    for (auto &[key, monitor] : m_monitors)
        monitor->stop();
    const auto deadline = Clock::now() + ExchangeLimit + LongestBackoff;
    for (auto &[key, monitor] : m_monitors)
        monitor->waitUntilFinished(deadline);
    takeKickEnds();
    for (const auto &[ticket, kick] : m_kicksUnderWay) {
        m_writer->setState(ticket, bus::state::Undelivered);
        Event event = kick;
        event.timeUs = nowUs();
        event.kind = bus::event::KickUndelivered;
        event.state.clear();
        event.reason = "the service stopped before the device took it";
        record(event);
    }
}

int DrawerService::start()
{
    int r = sd_bus_add_object_manager(m_bus, nullptr, bus::ManagerPath);
    if (r >= 0)
        r = sd_bus_add_object_vtable(
            m_bus, nullptr, bus::ManagerPath, bus::ManagerInterface, ManagerVtable, this);
    for (Drawer &drawer : m_drawers)
        if (r >= 0)
            r = sd_bus_add_object_vtable(
                m_bus, nullptr, drawer.path.c_str(), bus::DrawerInterface, DrawerVtable, &drawer);
    if (checked(r, "publish the drawers") < 0)
        return r;
    const std::string historyFile = stateFolder() + "/history.sqlite";
    if (!std::getenv("STATE_DIRECTORY"))
        logLine(LOG_INFO, "keeping the history in %s", historyFile.c_str());
    m_writer = std::make_unique<HistoryWriter>(m_event, historyFile, [this] { historyChanged(); });
    m_reader = std::make_unique<History>(historyFile, History::Mode::Read);
    m_metrics = std::make_unique<MetricsFile>(m_event, *this, stateFolder() + "/metrics");
    reload();
    const auto deadline = Clock::now() + std::chrono::milliseconds(250);
    for (auto &[key, monitor] : m_monitors)
        monitor->waitForFirstExchange(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(Clock::duration::zero(), deadline - Clock::now())));
    refresh();

    watchConfigFile();
    r = checked(sd_event_add_signal(m_event, nullptr, SIGHUP, onHangUp, this), "watch for SIGHUP");
    if (r >= 0)
        r = checked(
            sd_event_add_io(m_event, m_noticeSource.out(), m_notices->fd, EPOLLIN, onNotice, this),
            "watch the drawers' monitors");
    if (r >= 0)
        r = checked(sd_event_add_time(m_event, m_alarmTimer.out(), CLOCK_MONOTONIC, 0, 10'000,
                        onAlarmTimer, this),
            "make the left-open alarm's timer");
    if (r >= 0)
        r = checked(sd_event_add_time_relative(m_event, m_reloadTimer.out(), CLOCK_MONOTONIC,
                        ReloadDelayUs, 10'000, onReloadTimer, this),
            "make the reload timer");
    if (r >= 0)
        r = checked(
            sd_event_source_set_enabled(m_reloadTimer, SD_EVENT_OFF), "hold the reload timer");
    if (r < 0)
        return r;
    scheduleAlarm();

    r = sd_bus_request_name(m_bus, bus::ServiceName, 0);
    if (r < 0) {
        logLine(LOG_ERR, "cannot own the name %s: %s", bus::ServiceName,
            r == -EEXIST ? "another kestrin-drawerd has it" : std::strerror(-r));
        return r;
    }
    m_recording = true;
    // Before this start's rows, so that the newest row is the record's:
    // a clock set ahead at the start cannot pass for the record's time.
    trimHistory();
    recordService(bus::event::ServiceStart);
    for (Drawer &drawer : m_drawers)
        if (drawer.open)
            recordChange(drawer, true, false);
    r = checked(sd_event_add_time_relative(m_event, m_trimTimer.out(), CLOCK_REALTIME, DayUs,
                    60'000'000, onTrimTimer, this),
        "start the history's daily trim");
    if (r < 0)
        return r;
    sd_notify(0, "READY=1\nSTATUS=Serving the drawers of drawers.conf");
    return 0;
}

void DrawerService::reload()
{
    sd_notify(0, "RELOADING=1");
    const DrawerConfig config = loadDrawerConfig(m_configPath);
    for (const std::string &problem : config.problems)
        logLine(config.unread ? LOG_ERR : LOG_WARNING, "%s", problem.c_str());
    if (m_recording)
        logLine(LOG_NOTICE, "read %s again", m_configPath.c_str());
    m_keepDays = config.service.keepDays;
    if (m_writer)
        m_writer->setSizeLimit(std::int64_t(config.service.keepMegabytes) << 20);
    const passwd *bridge = ::getpwnam(bus::BridgeUser);
    m_bridgeUid = bridge ? std::optional<uid_t>(bridge->pw_uid) : std::nullopt;

    std::map<std::string, std::vector<DrawerSection>> devices;
    for (int i = 0; i < DrawerCount; ++i)
        if (config.drawers[i])
            devices[deviceKey(*config.drawers[i])].emplace_back(i, *config.drawers[i]);

    std::map<std::string, std::shared_ptr<DeviceMonitor>> monitors;
    for (auto &[key, sections] : devices) {
        std::shared_ptr<DeviceMonitor> old;
        if (const auto found = m_monitors.find(key); found != m_monitors.end()) {
            // A monitor whose thread could not start is replaced too.
            if (found->second->sections() == sections && !found->second->finished()) {
                monitors[key] = found->second;
                continue;
            }
            old = found->second;
        }
        // The new monitor takes over the old one's answer, then waits for
        // it to let go of the device.
        auto monitor = std::make_shared<DeviceMonitor>(sections, old);
        if (old)
            old->stop();
        monitor->setChangeHandler([notices = m_notices] { notices->post(); });
        monitor->setKickEndHandler([notices = m_notices](int, std::uint64_t tag, KickEnd end) {
            {
                std::lock_guard guard(notices->mutex);
                notices->kickEnds.push_back({tag, end});
            }
            notices->post();
        });
        monitor->start();
        monitor->handleTaken();
        monitors[key] = std::move(monitor);
    }
    for (auto &[key, monitor] : m_monitors)
        if (!monitors.count(key))
            monitor->stop(true); // no successor takes its jobs
    m_monitors = std::move(monitors);

    for (int i = 0; i < DrawerCount; ++i) {
        Drawer &drawer = m_drawers[i];
        const bool settingsChanged = drawer.settings != config.drawers[i];
        drawer.settings = config.drawers[i];
        drawer.monitor = drawer.settings ? m_monitors[deviceKey(*drawer.settings)] : nullptr;
        if (settingsChanged)
            announce(drawer, false, true);
    }
    refresh();
    sd_notify(0, "READY=1");
}

void DrawerService::refresh()
{
    for (Drawer &drawer : m_drawers) {
        bool present = false;
        bool open = false;
        if (drawer.monitor && drawer.monitor->answering()) {
            present = true;
            const Sensor sensor = drawer.settings->sensor;
            const std::optional<bool> high = drawer.monitor->sensorLevel();
            open = high && isOpenLevel(sensor, *high);
        }
        if (present == drawer.present && open == drawer.open)
            continue;
        const bool wasPresent = drawer.present;
        const bool wasOpen = drawer.open;
        drawer.present = present;
        drawer.open = open;
        drawer.changedUs = realtimeUs();
        announce(drawer, true, false);
        if (m_recording)
            recordChange(drawer, wasPresent, wasOpen);
    }
    takeKickEnds();
    soundAlarms();
    scheduleAlarm();
}

void DrawerService::recordChange(Drawer &drawer, bool wasPresent, bool wasOpen)
{
    // The drawer itself is who: its device names it.
    Event event = newEvent(drawer.number, {});
    event.program = drawer.settings ? drawer.settings->device : "";
    if (drawer.present != wasPresent) {
        event.kind = drawer.present ? bus::event::Back : bus::event::Gone;
        record(event);
    }
    if (drawer.open == wasOpen)
        return;
    const auto now = Clock::now();
    if (drawer.open) {
        drawer.alarm.opened(now);
        event.kind = bus::event::Opened;
        record(event);
        return;
    }
    // A drawer whose device went away is not known to be closed.
    if (const auto opened = drawer.alarm.openedAt(); drawer.present && opened) {
        event.kind = bus::event::Closed;
        event.seconds = std::chrono::duration<double>(now - *opened).count();
        record(event);
    }
    drawer.alarm.closed();
}

void DrawerService::soundAlarms()
{
    for (Drawer &drawer : m_drawers) {
        if (!drawer.settings || !drawer.open)
            continue;
        const auto open = drawer.alarm.due(
            Clock::now(), std::chrono::seconds(drawer.settings->alarmAfterSeconds));
        if (!open)
            continue;
        sd_bus_emit_signal(m_bus, drawer.path.c_str(), bus::DrawerInterface, bus::LeftOpenSignal,
            "t", std::uint64_t(open->count()));
        Event event = newEvent(drawer.number, bus::event::LeftOpen);
        event.program = drawer.settings->device;
        event.seconds = double(open->count());
        record(event);
    }
}

// The alarm timer wakes the loop when the next left-open alarm is due, and
// only then: nothing else is timed while the drawers do not change.
void DrawerService::scheduleAlarm()
{
    if (!m_alarmTimer)
        return; // not started yet: start() schedules it
    std::optional<Clock::time_point> next;
    for (const Drawer &drawer : m_drawers) {
        const auto due = drawer.settings && drawer.open
            ? drawer.alarm.nextDue(std::chrono::seconds(drawer.settings->alarmAfterSeconds))
            : std::nullopt;
        if (due && (!next || *due < *next))
            next = due;
    }
    int r = 0;
    if (!next) {
        r = sd_event_source_set_enabled(m_alarmTimer, SD_EVENT_OFF);
    } else {
        // The steady clock is CLOCK_MONOTONIC.
        const auto usec
            = std::chrono::duration_cast<std::chrono::microseconds>(next->time_since_epoch());
        r = sd_event_source_set_time(m_alarmTimer, std::uint64_t(usec.count()));
        if (r >= 0)
            r = sd_event_source_set_enabled(m_alarmTimer, SD_EVENT_ONESHOT);
    }
    if (checked(r, "schedule the left-open alarm") < 0)
        sd_event_exit(m_event, r);
}

DrawerService::Notices::Notices() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) { }

DrawerService::Notices::~Notices()
{
    if (fd >= 0)
        ::close(fd);
}

void DrawerService::Notices::post()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(fd, &one, sizeof one);
}

// A kick's row says how it ended; one the device did not take whole is
// followed by a row that says so, naming whose kick it was.
void DrawerService::takeKickEnds()
{
    std::vector<KickEndNotice> ends;
    {
        std::lock_guard guard(m_notices->mutex);
        ends.swap(m_notices->kickEnds);
    }
    for (const KickEndNotice &end : ends) {
        const auto found = m_kicksUnderWay.find(end.tag);
        if (found == m_kicksUnderWay.end())
            continue;
        const Event event = std::move(found->second);
        m_kicksUnderWay.erase(found);
        kickEnded(end.tag, event, end.end,
            end.end == KickEnd::CutShort ? "cut short: part of it reached the device"
                                         : "device busy or gone past the delivery deadline");
    }
}

// A kick's row follows how it ended; one not taken whole also gets a row
// of its own saying why.
void DrawerService::kickEnded(
    HistoryWriter::Ticket row, const Event &kick, KickEnd end, const char *whyNotWhole)
{
    m_writer->setState(row,
        end == KickEnd::Delivered      ? bus::state::Delivered
            : end == KickEnd::CutShort ? bus::state::CutShort
                                       : bus::state::Undelivered);
    if (end == KickEnd::Delivered)
        return;
    Event event = kick;
    event.timeUs = nowUs();
    event.kind = bus::event::KickUndelivered;
    event.state.clear();
    event.reason = whyNotWhole;
    record(event);
}

void DrawerService::record(Event event)
{
    tellEvent(event);
    if (m_metrics)
        m_metrics->count(event);
    if (m_writer)
        m_writer->append(std::move(event));
}

// The writer's news: HistoryWorking follows it, and the metrics.
void DrawerService::historyChanged()
{
    for (auto &[call, format] : std::exchange(m_earlyReads, {}))
        if (const int r = readHistory(call, format); r < 0)
            sd_bus_reply_method_errno(call, r, nullptr);
    if (m_writer->working() != m_toldWorking) {
        m_toldWorking = m_writer->working();
        sd_bus_emit_properties_changed(
            m_bus, bus::ManagerPath, bus::ManagerInterface, bus::HistoryWorkingProperty, nullptr);
    }
    if (m_metrics)
        m_metrics->changed();
}

void DrawerService::recordService(const char *kind)
{
    Event event = newEvent(0, kind);
    event.uid = ::geteuid();
    if (const passwd *user = ::getpwuid(::geteuid()))
        event.user = user->pw_name;
    event.pid = ::getpid();
    event.program = "kestrin-drawerd";
    record(event);
}

void DrawerService::trimHistory()
{
    if (m_writer)
        m_writer->deleteOlderThan(nowUs(), m_keepDays);
}

int DrawerService::readHistory(sd_bus_message *call, RowFormat format)
{
    // A service just started reads once its writer has made the file.
    if (m_writer && !m_writer->opened() && m_earlyReads.size() < MostEarlyReads) {
        m_earlyReads.emplace_back(MessageRef(sd_bus_message_ref(call)), format);
        return 1;
    }
    const bool keyed = format != RowFormat::Old;
    EventFilter filter;
    std::uint8_t drawer = 0;
    std::uint32_t skip = 0, limit = 0;
    std::uint64_t after = 0;
    int r = keyed ? sd_bus_message_read(
                call, "xtxyu", &filter.sinceUs, &after, &filter.untilUs, &drawer, &limit)
                  : sd_bus_message_read(
                      call, "xxyuu", &filter.sinceUs, &filter.untilUs, &drawer, &skip, &limit);
    if (r < 0)
        return r;
    if (drawer > DrawerCount)
        return sd_bus_reply_method_errorf(
            call, SD_BUS_ERROR_INVALID_ARGS, "There is no drawer %d.", int(drawer));
    filter.drawer = drawer;
    filter.afterId = std::int64_t(std::min<std::uint64_t>(after, INT64_MAX));
    filter.skip = int(std::min<std::uint32_t>(skip, INT32_MAX));
    filter.limit = int(limit == 0 ? MostRowsPerCall : std::min(limit, MostRowsPerCall));
    filter.maxBytes = MostBytesPerCall;
    std::vector<Event> events;
    bool more = false;
    if (!m_reader || !m_reader->query(filter, events, &more))
        return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_FAILED,
            "The history (%s) cannot be read; see the service's log.",
            m_reader ? m_reader->path().c_str() : "none");
    return sendEvents(call, events, format, more);
}

void DrawerService::announce(Drawer &drawer, bool state, bool settings)
{
    std::vector<const char *> names;
    if (state)
        names.insert(names.end(), {bus::PresentProperty, bus::OpenProperty, bus::ChangedProperty});
    if (settings)
        names.insert(
            names.end(), {bus::ConfiguredProperty, bus::HasSensorProperty, bus::DeviceProperty});
    names.push_back(nullptr);
    if (m_metrics)
        m_metrics->changed();
    const int r = sd_bus_emit_properties_changed_strv(
        m_bus, drawer.path.c_str(), bus::DrawerInterface, const_cast<char **>(names.data()));
    if (r < 0)
        logLine(LOG_WARNING, "cannot announce drawer %d: %s", drawer.number, std::strerror(-r));
}

void DrawerService::watchConfigFile()
{
    const std::filesystem::path file(m_configPath);
    const std::string folder = file.parent_path().empty() ? "." : file.parent_path().string();
    // The folder, not the file: editors and the set-up tool replace it.
    const int r = sd_event_add_inotify(m_event, nullptr, folder.c_str(),
        IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE, onConfigEvent, this);
    if (r < 0)
        logLine(LOG_WARNING, "cannot watch %s for changes (%s); reload by hand after an edit",
            folder.c_str(), std::strerror(-r));
}

void DrawerService::scheduleReload()
{
    int r = sd_event_source_set_time_relative(m_reloadTimer, ReloadDelayUs);
    if (r >= 0)
        r = sd_event_source_set_enabled(m_reloadTimer, SD_EVENT_ONESHOT);
    if (checked(r, "schedule a reload") < 0)
        sd_event_exit(m_event, r);
}

int DrawerService::onNotice(sd_event_source *, int fd, std::uint32_t, void *userdata)
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(fd, &count, sizeof count);
    static_cast<DrawerService *>(userdata)->refresh();
    static_cast<DrawerService *>(userdata)->takePrintNotices();
    return 0;
}

int DrawerService::onAlarmTimer(sd_event_source *, std::uint64_t, void *userdata)
{
    static_cast<DrawerService *>(userdata)->refresh();
    return 0;
}

int DrawerService::onTrimTimer(sd_event_source *source, std::uint64_t usec, void *userdata)
{
    static_cast<DrawerService *>(userdata)->trimHistory();
    sd_event_source_set_time(source, usec + DayUs);
    return sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
}

int DrawerService::onReloadTimer(sd_event_source *, std::uint64_t, void *userdata)
{
    static_cast<DrawerService *>(userdata)->reload();
    return 0;
}

int DrawerService::onConfigEvent(
    sd_event_source *, const struct inotify_event *event, void *userdata)
{
    auto &service = *static_cast<DrawerService *>(userdata);
    if (event->len > 0 && std::filesystem::path(service.m_configPath).filename() == event->name)
        service.scheduleReload();
    return 0;
}

int DrawerService::onHangUp(sd_event_source *, const struct signalfd_siginfo *, void *userdata)
{
    static_cast<DrawerService *>(userdata)->reload();
    return 0;
}

} // namespace drawerservice
