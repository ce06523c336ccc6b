// Open and OpenBefore, step by step, none of them waiting on the loop: the
// bus says who called (or the call is refused, nothing fired), the checks
// refuse or accept, the kick's row is written on the history's thread,
// and only once it is on the disk, and before the caller's deadline, is
// the kick handed to the device's monitor and the call answered. A deadline
// that passes first is answered at once: nothing was, or will be, fired.

#include "drawerservice.h"

#include "busapi.h"
#include "journal.h"
#include "protocols/protocol.h"

#include <cstring>

#include <pwd.h>

namespace drawerservice {

using namespace drawerdriver;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char DBusName[] = "org.freedesktop.DBus";
// The bus answers at once, but a flood of calls may queue its answer
// behind them; one that does not come within this is not waited for, and
// the calls are refused.
constexpr std::uint64_t CallerLimitUs = 2'000'000;
// The connections whose account is kept: a kept one needs no question.
constexpr std::size_t MostCallers = 1024;

std::chrono::milliseconds pulseTime(const DrawerSettings &settings)
{
    return std::chrono::milliseconds(settings.pulseOnMs + settings.pulseOffMs);
}

std::uint64_t monotonicUs(Clock::time_point time)
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch());
    return std::uint64_t(std::max<std::int64_t>(us.count(), 1));
}

// The account and process the bus knows for a connection, from
// GetConnectionCredentials' a{sv}.
int readCredentials(sd_bus_message *reply, std::optional<uid_t> &uid, std::optional<pid_t> &pid)
{
    int r = sd_bus_message_enter_container(reply, 'a', "{sv}");
    while (r > 0 && (r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        const char *key = nullptr;
        std::uint32_t value = 0;
        r = sd_bus_message_read(reply, "s", &key);
        const bool wanted
            = r >= 0 && (std::strcmp(key, "UnixUserID") == 0 || std::strcmp(key, "ProcessID") == 0);
        if (r >= 0)
            r = wanted ? sd_bus_message_read(reply, "v", "u", &value)
                       : sd_bus_message_skip(reply, "v");
        if (r >= 0 && wanted && key[0] == 'U')
            uid = uid_t(value);
        else if (r >= 0 && wanted)
            pid = pid_t(value);
        if (r >= 0)
            r = sd_bus_message_exit_container(reply);
        if (r >= 0)
            r = 1;
    }
    return r;
}

// Who asked: the account the bus vouches for, and the process. The
// program's path needs /proc/PID/exe, which the process of another user
// keeps from the service: then the first word of its command line names
// it. Either is any bytes of any length the caller chose.
void nameCaller(Event &event, uid_t uid, std::optional<pid_t> pid)
{
    event.uid = uid;
    const passwd *user = ::getpwuid(uid);
    event.user = cleanField(user ? user->pw_name : std::to_string(uid));
    event.pid = pid;
    event.program.clear();
    CredsRef creds;
    const char *exe = nullptr;
    char **cmdline = nullptr;
    if (!pid
        || sd_bus_creds_new_from_pid(creds.out(), *pid, SD_BUS_CREDS_EXE | SD_BUS_CREDS_CMDLINE)
            < 0)
        return;
    if (sd_bus_creds_get_exe(creds, &exe) >= 0)
        event.program = cleanField(exe);
    else if (sd_bus_creds_get_cmdline(creds, &cmdline) >= 0 && cmdline && cmdline[0])
        event.program = cleanField(cmdline[0]);
}

void takeIdentity(Event &event, const Event &identity)
{
    event.uid = identity.uid;
    event.user = identity.user;
    event.pid = identity.pid;
    event.program = identity.program;
}

// The web bridge's reasons start "web: NAME from ...": NAME, its token's.
std::string tokenOf(const std::string &reason)
{
    constexpr std::string_view prefix = "web: ";
    if (reason.compare(0, prefix.size(), prefix) != 0)
        return {};
    return reason.substr(prefix.size(), reason.find(' ', prefix.size()) - prefix.size());
}

} // namespace

int DrawerService::openDrawer(Drawer &drawer, sd_bus_message *call, const char *reason,
    std::optional<Clock::time_point> deadline)
{
    auto pending = std::make_unique<PendingOpen>();
    PendingOpen &open = *pending;
    open.id = m_nextOpen++;
    open.drawer = &drawer;
    open.call = MessageRef(sd_bus_message_ref(call));
    open.sender = sd_bus_message_get_sender(call) ? sd_bus_message_get_sender(call) : "";
    open.reason = cleanField(reason, bus::ReasonLimit);
    open.deadline = deadline.value_or(Clock::now() + bus::OpenLimit);
    open.event = newEvent(drawer.number, bus::event::Kick);
    open.event.program = cleanField(open.sender);
    m_opens[open.id] = std::move(pending);
    if (sd_event_add_time(m_event, open.timer.out(), CLOCK_MONOTONIC, monotonicUs(open.deadline),
            1000, onDeadline, &open)
        < 0)
        refuseOpen(open, "not sent in time", bus::TooLateError, {});
    else
        askCaller(open);
    return 1; // answered later
}

// Judged at once for a connection the bus has named already; otherwise
// once the bus answers.
void DrawerService::askCaller(PendingOpen &open)
{
    whoCalled(open.sender, [this, id = open.id](const Event *identity) {
        const auto found = m_opens.find(id);
        if (found == m_opens.end())
            return;
        PendingOpen &open = *found->second;
        if (!identity) {
            refuseOpen(open, "caller unknown", bus::UnknownCallerError,
                "The bus cannot say who called; nothing was fired.");
            return;
        }
        takeIdentity(open.event, *identity);
        judge(open);
    });
}

// At once for a connection the bus has named already; otherwise once the
// bus answers, a question for all the connection's calls.
void DrawerService::whoCalled(const std::string &sender, CallerKnown then)
{
    std::unique_ptr<Caller> &caller = m_callers[sender];
    if (caller && caller->named) {
        then(&caller->identity);
        return;
    }
    if (caller) {
        caller->waiting.push_back(std::move(then));
        return;
    }
    caller = std::make_unique<Caller>();
    caller->service = this;
    caller->name = sender;
    caller->waiting.push_back(std::move(then));
    MessageRef ask;
    int r = sd_bus_message_new_method_call(
        m_bus, ask.out(), DBusName, "/org/freedesktop/DBus", DBusName, "GetConnectionCredentials");
    if (r >= 0)
        r = sd_bus_message_append(ask, "s", sender.c_str());
    if (r >= 0)
        r = sd_bus_call_async(
            m_bus, caller->asking.out(), ask, onCaller, caller.get(), CallerLimitUs);
    if (r < 0)
        callerKnown(*caller, false);
}

int DrawerService::onCaller(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
    Caller &caller = *static_cast<Caller *>(userdata);
    std::optional<uid_t> uid;
    std::optional<pid_t> pid;
    const bool named = !sd_bus_message_is_method_error(reply, nullptr)
        && readCredentials(reply, uid, pid) >= 0 && uid;
    if (named)
        nameCaller(caller.identity, *uid, pid);
    caller.service->callerKnown(caller, named);
    return 0;
}

// The bus's answer for the waiting calls: a caller that is gone, or that
// the bus does not name, is refused with its bus name alone. A named
// connection is kept, among the newest few.
void DrawerService::callerKnown(Caller &caller, bool named)
{
    const std::string name = caller.name;
    const std::vector<CallerKnown> waiting = std::exchange(caller.waiting, {});
    caller.asking = {};
    caller.named = named;
    const Event identity = caller.identity;
    if (named)
        m_callerOrder.push_back(name);
    else
        m_callers.erase(name); // asked again at its next call
    for (const CallerKnown &then : waiting)
        then(named ? &identity : nullptr);
    while (m_callerOrder.size() > MostCallers) {
        m_callers.erase(m_callerOrder.front());
        m_callerOrder.pop_front();
    }
}

void DrawerService::judge(PendingOpen &open)
{
    Drawer &drawer = *open.drawer;
    if (!drawer.settings) {
        refuseOpen(open, "not configured", bus::NotConfiguredError,
            "Drawer " + std::to_string(drawer.number) + " is not configured.");
        return;
    }
    refresh();
    if (!drawer.present) {
        refuseOpen(open, "not present", bus::NotPresentError,
            "Drawer " + std::to_string(drawer.number) + "'s device (" + drawer.settings->device
                + ") does not answer.");
        return;
    }
    // Kicks at short intervals burn out the solenoid: one per pulse time,
    // and none while another waits for its row.
    const auto pulse = pulseTime(*drawer.settings);
    if (drawer.kickUnderWay || (drawer.lastKick && Clock::now() - *drawer.lastKick < pulse)) {
        refuseOpen(open, "busy", bus::BusyError,
            "Drawer " + std::to_string(drawer.number)
                + (drawer.kickUnderWay ? " has a kick whose row is being written."
                                       : " was fired less than its pulse time ("
                            + std::to_string(pulse.count()) + " ms) ago."));
        return;
    }
    if (open.late || Clock::now() >= open.deadline) {
        refuseOpen(open, "too late", bus::TooLateError, {});
        return;
    }
    drawer.kickUnderWay = true;
    open.event.timeUs = nowUs();
    open.event.reason = open.reason;
    open.event.state = bus::state::Pending;
    open.row = m_writer->appendKick(
        open.event, [this, id = open.id](bool written) { kickRowWritten(id, written); });
}

// The kick's row is on the disk, or cannot be: fire, or tell the caller why
// not. A row that came after the deadline becomes the refusal it is.
void DrawerService::kickRowWritten(std::uint64_t id, bool written)
{
    const auto found = m_opens.find(id);
    if (found == m_opens.end())
        return;
    PendingOpen &open = *found->second;
    Drawer &drawer = *open.drawer;
    drawer.kickUnderWay = false;
    if (!written) {
        refuseOpen(open, "not recorded", bus::NotRecordedError,
            "The history cannot record the kick, so drawer " + std::to_string(drawer.number)
                + " was not fired; see the service's log.");
        return;
    }
    if (!open.late && Clock::now() < open.deadline && drawer.settings && drawer.monitor) {
        fire(open);
        return;
    }
    Event refusal = open.event;
    refusal.kind = bus::event::KickRefused;
    refusal.reason = "not sent in time" + (open.reason.empty() ? "" : ": " + open.reason);
    refusal.state = bus::state::NotSent;
    m_writer->turnIntoRefusal(open.row, refusal.reason);
    tellEvent(refusal);
    if (m_metrics)
        m_metrics->count(refusal);
    reply(open, bus::TooLateError, {});
    finish(open);
}

// The answer follows the kick; the device's monitor tells how it ended.
void DrawerService::fire(PendingOpen &open)
{
    Drawer &drawer = *open.drawer;
    drawer.lastKick = Clock::now();
    drawer.monitor->kick(drawer.number - 1, kickBytes(*drawer.settings), open.row);
    m_kicksUnderWay[open.row] = open.event;
    tellEvent(open.event);
    if (m_metrics)
        m_metrics->count(open.event);
    reply(open);
    finish(open);
}

void DrawerService::refuseOpen(
    PendingOpen &open, const char *refusal, const char *error, std::string message)
{
    Event event = open.event;
    event.timeUs = nowUs(); // after the changes the checks recorded
    event.kind = bus::event::KickRefused;
    event.reason = open.reason.empty() ? refusal : refusal + (": " + open.reason);
    event.state.clear();
    recordRefusal(event, refusal, open.reason);
    reply(open, error, message);
    finish(open);
}

// Each call is answered once: the deadline may have answered it already.
void DrawerService::reply(PendingOpen &open, const char *error, const std::string &message)
{
    if (open.replied)
        return;
    open.replied = true;
    if (!error) {
        sd_bus_reply_method_return(open.call, "");
        return;
    }
    const std::string text = !message.empty() ? message
                                              : "Drawer " + std::to_string(open.drawer->number)
            + " was not fired: the kick could not be recorded before the caller's deadline.";
    sd_bus_reply_method_errorf(open.call, error, "%s", text.c_str());
}

void DrawerService::finish(PendingOpen &open)
{
    m_opens.erase(open.id);
}

// Past the deadline nothing is fired. A kick whose row is being written is
// answered at once; one whose caller the bus has yet to name is answered
// with its refusal once it has, since nothing more can come of it.
int DrawerService::onDeadline(sd_event_source *, std::uint64_t, void *userdata)
{
    PendingOpen &open = *static_cast<PendingOpen *>(userdata);
    open.late = true;
    if (open.row)
        open.drawer->service->reply(open, bus::TooLateError, {});
    return 0;
}

// At the end: nothing more is fired, and each kick's row says so.
void DrawerService::abandonOpens()
{
    for (auto &[id, open] : m_opens) {
        reply(*open, bus::TooLateError, "The drawer service is stopping; nothing was fired.");
        if (open->row) // its row is still being written
            m_writer->turnIntoRefusal(open->row, "not sent: the service stopped");
    }
    m_opens.clear();
}

void DrawerService::recordRefusal(
    const Event &event, const char *refusal, const std::string &callerReason)
{
    const auto now = RefusalFolder::Clock::now();
    if (m_metrics) // the metrics count every refusal, folded or not
        m_metrics->count(event);
    const std::string key = refusalKey(event, refusal, callerReason);
    const bool folded = m_refusals.fold(key, now);
    writeFoldedRefusals(now); // the windows that ended; arms the timer
    if (folded)
        return;
    tellEvent(event);
    m_refusals.recorded(key, m_writer->appendRefusal(event, key), now);
}

// The account, whatever its process or connection; the web bridge's by
// token too; a caller the bus did not name, by drawer alone.
std::string DrawerService::refusalKey(
    const Event &event, const char *refusal, const std::string &reason) const
{
    std::string who = event.uid ? "uid " + std::to_string(*event.uid) : "unknown";
    if (event.uid && m_bridgeUid && *event.uid == *m_bridgeUid)
        who += " token " + tokenOf(reason);
    return who + " drawer " + std::to_string(event.drawer) + ' ' + refusal;
}

void DrawerService::writeFoldedRefusals(std::optional<RefusalFolder::Clock::time_point> now)
{
    for (const RefusalFolder::Count &count : m_refusals.takeEnded(now))
        if (m_writer)
            m_writer->addRepeats(count.ticket, count.repeats);
    const auto end = m_refusals.nextEnd();
    if (!end || !now) {
        if (m_foldTimer)
            sd_event_source_set_enabled(m_foldTimer, SD_EVENT_OFF);
        return;
    }
    // steady_clock is CLOCK_MONOTONIC, the timer's clock.
    const std::uint64_t atUs = monotonicUs(*end);
    if (!m_foldTimer) {
        sd_event_add_time(
            m_event, m_foldTimer.out(), CLOCK_MONOTONIC, atUs, 10'000, onFoldTimer, this);
        return;
    }
    sd_event_source_set_time(m_foldTimer, atUs);
    sd_event_source_set_enabled(m_foldTimer, SD_EVENT_ONESHOT);
}

int DrawerService::onFoldTimer(sd_event_source *, std::uint64_t, void *userdata)
{
    static_cast<DrawerService *>(userdata)->writeFoldedRefusals(RefusalFolder::Clock::now());
    return 0;
}

} // namespace drawerservice
