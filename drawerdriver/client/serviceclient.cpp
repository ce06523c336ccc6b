#include "client/serviceclient.h"

#include "busapi.h"
#include "config/background.h"
#include "config/report.h"
#include "monitor/drawerbank.h"
#include "transports/wait.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace drawerdriver {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char DBusName[] = "org.freedesktop.DBus";
constexpr char DBusPath[] = "/org/freedesktop/DBus";
// A service that takes longer than this to accept a kick is not waited for.
// The service fires only until bus::ReplyRoom before it, and answers by
// then, so that the answer comes within it and a kick that fired is never
// reported as failed.
constexpr auto OpenTimeout = std::chrono::seconds(1);
constexpr std::uint64_t BusCallTimeoutUs = 250'000;
// A lost answer to GetManagedObjects is asked for again after this, twice
// as long after each further loss, up to the most.
constexpr auto FirstRetryDelay = std::chrono::milliseconds(500);
constexpr auto MaxRetryDelay = std::chrono::seconds(30);
// How often a bus without the service is asked again whether it can start it.
constexpr auto ActivatableRecheck = std::chrono::seconds(5);

std::string userName()
{
    const passwd *user = ::getpwuid(::geteuid());
    return user ? user->pw_name : std::to_string(::geteuid());
}

} // namespace

std::unique_ptr<ServiceClient> ServiceClient::connect()
{
    BusRef connection;
    if (sd_bus_open_system(connection.out()) < 0)
        return nullptr;
    sd_bus *bus = connection;
    // A bus that is stuck must not hold a program's call for the library's
    // default of 25 s: every call is bounded (Open has a limit of its own).
    sd_bus_set_method_call_timeout(bus, BusCallTimeoutUs);
    std::unique_ptr<ServiceClient> client(new ServiceClient(std::move(connection)));
    // Anyone may send a signal to this connection: the bus's own signal is
    // taken from the bus alone, and the drawers' from the service's current
    // owner alone (followOwner).
    const std::string ownerRule = std::string("type='signal',sender='") + DBusName + "',interface='"
        + DBusName + "',member='NameOwnerChanged',arg0='" + bus::ServiceName + "'";
    MessageRef reply;
    const char *owner = nullptr;
    if (client->m_wake < 0
        || sd_bus_add_match(bus, nullptr, ownerRule.c_str(), onOwnerChanged, client.get()) < 0)
        return nullptr;
    if (sd_bus_call_method(bus, DBusName, DBusPath, DBusName, "GetNameOwner", nullptr, reply.out(),
            "s", bus::ServiceName)
            >= 0
        && sd_bus_message_read(reply, "s", &owner) >= 0) {
        client->followOwner(owner);
        client->requestStates();
    }
    client->m_worker = backgroundThread([raw = client.get()] { raw->run(); });
    return client;
}

ServiceClient::ServiceClient(BusRef bus)
    : m_bus(std::move(bus)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

ServiceClient::~ServiceClient()
{
    m_stop = true;
    wake();
    if (m_worker.joinable())
        m_worker.join();
    sd_bus_slot_unref(m_changesMatch);
    sd_bus_slot_unref(m_loadCall);
    if (m_wake >= 0)
        ::close(m_wake);
}

void ServiceClient::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(m_wake, &one, sizeof one);
}

bool ServiceClient::connected()
{
    std::lock_guard guard(m_mutex);
    return !m_disconnected;
}

bool ServiceClient::serviceAvailable()
{
    {
        std::lock_guard guard(m_mutex);
        if (m_disconnected)
            return false;
        if (!m_owner.empty())
            return true;
    }
    const auto now = Clock::now();
    if (now - m_activatableChecked < ActivatableRecheck)
        return m_activatable;
    m_activatableChecked = now;
    m_activatable = false;
    {
        std::lock_guard guard(m_busMutex);
        MessageRef reply;
        char **names = nullptr;
        if (sd_bus_call_method(m_bus, DBusName, DBusPath, DBusName, "ListActivatableNames", nullptr,
                reply.out(), "")
                >= 0
            && sd_bus_message_read_strv(reply, &names) >= 0) {
            for (char **name = names; *name; ++name) {
                m_activatable = m_activatable || std::strcmp(*name, bus::ServiceName) == 0;
                std::free(*name);
            }
            std::free(names);
        }
    }
    wake(); // the call may have read signals for the worker
    return m_activatable;
}

// Called with the bus locked. Asking the service starts it where the bus
// can. The bus's call timeout bounds the wait for the answer.
void ServiceClient::requestStates()
{
    {
        std::lock_guard guard(m_mutex);
        if (m_loading)
            return;
        m_loading = true;
        m_requested = Clock::now();
    }
    m_loadCall = sd_bus_slot_unref(m_loadCall);
    if (sd_bus_call_method_async(m_bus, &m_loadCall, bus::ServiceName, bus::ManagerPath,
            bus::ObjectManagerInterface, bus::GetManagedObjectsMethod, onManagedObjects, this, "")
        < 0) {
        std::lock_guard guard(m_mutex);
        m_loading = false;
    }
}

// Called with the bus locked: asks again for an answer that was lost, while
// the service has an owner, at most every MaxRetryDelay.
void ServiceClient::retryIfDue()
{
    {
        std::lock_guard guard(m_mutex);
        if (!retryPending() || Clock::now() < m_retryAt)
            return;
    }
    requestStates();
}

// Called with the state locked.
bool ServiceClient::retryPending() const
{
    return m_failedLoads > 0 && !m_loaded && !m_loading && !m_owner.empty();
}

// Called with the bus locked: the drawers' signals are taken from this
// unique name only, and the answer still due from the one before is
// dropped.
void ServiceClient::followOwner(const std::string &owner)
{
    m_changesMatch = sd_bus_slot_unref(m_changesMatch);
    m_loadCall = sd_bus_slot_unref(m_loadCall);
    {
        std::lock_guard guard(m_mutex);
        m_owner = owner;
        m_loading = false;
        m_failedLoads = 0;
    }
    if (owner.empty())
        return;
    const std::string rule = "type='signal',sender='" + owner + "',interface='"
        + bus::PropertiesInterface + "',member='" + bus::PropertiesChangedSignal
        + "',path_namespace='" + bus::ManagerPath + "'";
    // Asynchronous: this runs in the worker, which must not wait on the bus.
    sd_bus_add_match_async(
        m_bus, &m_changesMatch, rule.c_str(), onPropertiesChanged, nullptr, this);
}

void ServiceClient::forgetStates()
{
    std::lock_guard guard(m_mutex);
    for (bus::DrawerState &drawer : m_drawers)
        drawer.present = drawer.open = false;
    m_loaded = false;
    m_changed.notify_all();
}

void ServiceClient::run()
{
    while (!m_stop) {
        int fd = -1;
        int events = 0;
        std::uint64_t until = UINT64_MAX;
        {
            std::lock_guard guard(m_busMutex);
            int r = 0;
            while ((r = sd_bus_process(m_bus, nullptr)) > 0) { }
            if (r < 0) {
                // The bus itself is gone: a new client is made when no
                // handle is held.
                forgetStates();
                std::lock_guard state(m_mutex);
                m_disconnected = true;
                m_loading = false;
                return;
            }
            retryIfDue();
            fd = sd_bus_get_fd(m_bus);
            events = sd_bus_get_events(m_bus);
            sd_bus_get_timeout(m_bus, &until);
        }
        // sd-bus gives its timeout on CLOCK_MONOTONIC, as steady_clock is.
        auto deadline = Clock::now() + std::chrono::minutes(1);
        if (until != UINT64_MAX)
            deadline = std::min(deadline, Clock::time_point(std::chrono::microseconds(until)));
        {
            std::lock_guard guard(m_mutex);
            if (retryPending())
                deadline = std::min(deadline, m_retryAt);
        }
        waitFor(fd, short(events), deadline, m_wake);
        std::uint64_t drained = 0;
        [[maybe_unused]] const ssize_t got = ::read(m_wake, &drained, sizeof drained);
    }
}

int ServiceClient::onOwnerChanged(sd_bus_message *signal, void *userdata, sd_bus_error *)
{
    auto &client = *static_cast<ServiceClient *>(userdata);
    const char *sender = sd_bus_message_get_sender(signal);
    const char *name = nullptr;
    const char *oldOwner = nullptr;
    const char *newOwner = nullptr;
    // Only the bus says who owns a name; the match asks for that already,
    // and a signal sent straight to this connection is checked here.
    if (!sender || std::strcmp(sender, DBusName) != 0
        || sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0
        || std::strcmp(name, bus::ServiceName) != 0)
        return 0;
    client.forgetStates();
    client.followOwner(newOwner);
    if (*newOwner)
        client.requestStates();
    return 0;
}

int ServiceClient::onPropertiesChanged(sd_bus_message *signal, void *userdata, sd_bus_error *)
{
    auto &client = *static_cast<ServiceClient *>(userdata);
    const int number = bus::drawerNumber(sd_bus_message_get_path(signal));
    std::lock_guard guard(client.m_mutex);
    const char *sender = sd_bus_message_get_sender(signal);
    if (number == 0 || !client.m_loaded || !sender || client.m_owner != sender)
        return 0;
    bus::DrawerState state = client.m_drawers[number - 1];
    if (bus::readPropertiesChanged(signal, state) >= 0)
        client.m_drawers[number - 1] = state;
    client.m_changed.notify_all();
    return 0;
}

// The answer to the one GetManagedObjects due (followOwner drops older
// ones), or the error that the bus's call timeout made of it. Before the
// bus has said who owns the name, the service this call started answers.
int ServiceClient::onManagedObjects(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
    auto &client = *static_cast<ServiceClient *>(userdata);
    client.m_loadCall = sd_bus_slot_unref(client.m_loadCall);
    bus::Drawers drawers;
    std::lock_guard guard(client.m_mutex);
    const char *sender = sd_bus_message_get_sender(reply);
    const bool ok = !sd_bus_message_is_method_error(reply, nullptr) && sender
        && (client.m_owner.empty() || client.m_owner == sender)
        && bus::readManagedObjects(reply, drawers) >= 0;
    client.m_loading = false;
    if (ok) {
        client.m_drawers = drawers;
        client.m_loaded = true;
        client.m_failedLoads = 0;
    } else {
        client.m_failedLoads = std::min(client.m_failedLoads + 1, 16);
        client.m_retryAt = Clock::now()
            + std::min<Clock::duration>(
                FirstRetryDelay * (1 << (client.m_failedLoads - 1)), MaxRetryDelay);
    }
    client.m_changed.notify_all();
    return 0;
}

std::int32_t ServiceClient::acquire(std::uint8_t drawerNumber)
{
    if (drawerNumber >= m_drawers.size())
        return -1;
    std::unique_lock lock(m_mutex);
    if (!m_loaded && !m_loading && Clock::now() - m_requested >= std::chrono::seconds(1)) {
        lock.unlock();
        {
            std::lock_guard guard(m_busMutex);
            requestStates();
        }
        wake();
        lock.lock();
    }
    // Only the process's first call waits for the service's answer, as the
    // call that starts a monitor does; every later one answers at once.
    if (m_loading && !m_waitedOnce)
        m_changed.wait_for(lock, FirstAnswerWait, [this] { return !m_loading; });
    m_waitedOnce = true;
    if (!m_loaded || !m_drawers[drawerNumber].present)
        return 0;
    const std::int32_t handle = m_nextHandle;
    m_nextHandle = m_nextHandle == INT32_MAX ? 1 : m_nextHandle + 1;
    m_held[handle] = drawerNumber;
    return handle;
}

void ServiceClient::release(std::int32_t handle)
{
    std::lock_guard guard(m_mutex);
    m_held.erase(handle);
}

std::int16_t ServiceClient::status(std::int32_t handle)
{
    std::lock_guard guard(m_mutex);
    const auto held = m_held.find(handle);
    if (held == m_held.end() || !m_loaded || !m_drawers[held->second].present)
        return 0;
    return m_drawers[held->second].open ? 2 : 1;
}

// Called with the bus locked: OpenBefore, or Open without a deadline,
// waiting for the answer until end.
int ServiceClient::callOpen(int number, std::optional<Clock::time_point> deadline,
    Clock::time_point end, sd_bus_error *error)
{
    MessageRef call;
    int r = sd_bus_message_new_method_call(m_bus, call.out(), bus::ServiceName,
        bus::drawerPath(number).c_str(), bus::DrawerInterface,
        deadline ? bus::OpenBeforeMethod : bus::OpenMethod);
    if (r >= 0)
        r = sd_bus_message_append(call, "s", program_invocation_short_name);
    // The steady clock is CLOCK_MONOTONIC, the service's clock for it.
    if (r >= 0 && deadline)
        r = sd_bus_message_append(call, "t",
            std::uint64_t(
                std::chrono::duration_cast<std::chrono::microseconds>(deadline->time_since_epoch())
                    .count()));
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now());
    if (r >= 0)
        r = left.count() > 0 ? sd_bus_call(m_bus, call, std::uint64_t(left.count()), error, nullptr)
                             : -ETIMEDOUT;
    return r;
}

std::int16_t ServiceClient::open(std::int32_t handle)
{
    int number = 0;
    {
        std::lock_guard guard(m_mutex);
        const auto held = m_held.find(handle);
        if (held == m_held.end() || !m_loaded || !m_drawers[held->second].present)
            return 0;
        number = held->second + 1;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = 0;
    {
        std::lock_guard guard(m_busMutex);
        const auto end = Clock::now() + OpenTimeout;
        r = callOpen(number, end - bus::ReplyRoom, end, &error);
        if (sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD)) {
            sd_bus_error_free(&error); // a service older than OpenBefore
            r = callOpen(number, std::nullopt, end, &error);
        }
    }
    wake(); // the call may have read signals for the worker
    if (sd_bus_error_has_names(&error, bus::TooLateError, bus::NotRecordedError)) {
        reportProblem("drawer service", error.message ? error.message : error.name);
    } else if (sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED)) {
        const std::string user = userName();
        reportProblem("drawer service",
            "not allowed to open drawers: " + user + " is not in the group " + bus::DrawerGroup
                + "; 'sudo kestrin-drawer-setup allow " + user
                + "' adds them (effective at their next login)");
    } else if (r >= 0) {
        reportProblem("drawer service", {});
    }
    sd_bus_error_free(&error);
    return r >= 0 ? 1 : 0;
}

} // namespace drawerdriver
