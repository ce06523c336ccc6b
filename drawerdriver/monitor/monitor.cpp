#include "monitor/monitor.h"

#include "protocols/exchange.h"
#include "config/report.h"
#include "transports/transport.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace drawerdriver {

std::string deviceKey(const DrawerSettings &settings)
{
    const Endpoint &endpoint = settings.endpoint;
    if (!endpoint.isNetwork())
        return endpoint.path;
    return "tcp://" + endpoint.host + ":" + std::to_string(endpoint.port);
}

namespace {

// The section whose device settings rule: the first with a sensor, so that
// its sensor line is the one read, else the first.
const DrawerSettings &deviceSettings(const std::vector<DrawerSection> &sections)
{
    for (const auto &section : sections)
        if (section.second.sensor != Sensor::None)
            return section.second;
    return sections.front().second;
}

bool anySensor(const std::vector<DrawerSection> &sections)
{
    return std::any_of(sections.begin(), sections.end(),
        [](const DrawerSection &section) { return section.second.sensor != Sensor::None; });
}

// No more than this is read at one wake-up: a flooding device gets no more
// of our time.
constexpr std::size_t MostBytesPerWakeUp = 64 * 1024;

} // namespace

// Everything that only the worker thread touches.
class DeviceMonitor::Worker {
public:
    explicit Worker(DeviceMonitor &monitor)
        : m_monitor(monitor), m_device(deviceSettings(monitor.m_sections)),
          m_watchSensor(anySensor(monitor.m_sections)), m_subject("device " + deviceKey(m_device))
    {
    }

    ~Worker() { disconnect(); }

    // One status exchange, or a presence check where no sensor is read.
    bool poll()
    {
        const auto deadline = Clock::now() + ExchangeLimit;
        if (!m_transport && !connect(deadline))
            return false;
        std::optional<bool> level;
        std::string error;
        bool ok = true;
        if (!m_watchSensor) {
            // Nothing is sent: an open device without hang-up is the answer.
            ok = m_transport->isPresent();
            error = m_transport->name() + " hung up";
        } else if (m_device.protocol == Protocol::Trigger) {
            level = m_transport->lineLevel(m_device.sensorLine, error);
            ok = level.has_value() && m_transport->isPresent();
        } else {
            ok = ask(deadline, level, error);
        }
        if (!ok && !m_transport)
            return false; // dropped, and told, while reading what it had pushed
        if (!ok) {
            // A held connection stays for the pushed statuses, unless the
            // device has gone.
            const bool gone = !m_transport->isPresent();
            if (gone || !held())
                disconnect();
            fail(gone ? OpenFailure::Gone : OpenFailure::Other, error);
            return false;
        }
        if (!held())
            disconnect();
        answered(level);
        return true;
    }

    void sendKick(const std::vector<std::uint8_t> &bytes)
    {
        const auto deadline = Clock::now() + ExchangeLimit;
        if (!m_transport && !connect(deadline))
            return;
        std::string error;
        const bool ok = m_transport->writeAll(bytes, deadline, error);
        if (!ok || !held())
            disconnect();
        if (!ok)
            fail(OpenFailure::Other, "the kick did not reach the drawer: " + error);
    }

    // Reads what a held device sent by itself: pushed statuses count as
    // answers the moment they arrive. False once nothing more is to be read.
    bool readPushed()
    {
        if (!m_transport)
            return false;
        std::vector<std::uint8_t> buffer(m_protocol->readSize());
        std::vector<bool> levels;
        std::string error;
        bool any = false;
        for (std::size_t total = 0; total < MostBytesPerWakeUp;) {
            const ssize_t got = m_transport->readAvailable(buffer.data(), buffer.size(), error);
            if (got < 0) {
                disconnect();
                fail(OpenFailure::Gone, error);
                return false;
            }
            if (got == 0)
                break;
            any = true;
            total += std::size_t(got);
            // Statuses amid bytes that are none may be chance patterns in
            // garbage: they do not count.
            const std::size_t known = levels.size();
            m_protocol->clearNoise();
            m_protocol->consume(buffer.data(), std::size_t(got), levels);
            if (m_protocol->noisy())
                levels.resize(known);
        }
        if (!levels.empty())
            answered(levels.back());
        return any;
    }

    bool held() const { return m_hold.value_or(false); }
    int fd() const { return m_transport ? m_transport->fd() : -1; }
    std::chrono::milliseconds backoff() const { return m_backoff; }

    void disconnect()
    {
        if (m_transport && held() && m_protocol) {
            if (const auto bytes = m_protocol->holdEnd(); !bytes.empty()) {
                std::string ignored;
                m_transport->writeAll(
                    bytes, Clock::now() + std::chrono::milliseconds(100), ignored);
            }
        }
        m_transport.reset();
    }

private:
    bool connect(Clock::time_point deadline)
    {
        OpenResult result;
        if (m_device.endpoint.isNetwork()) {
            std::string error;
            if (!m_address)
                m_address = resolveNetworkAddress(m_device.endpoint, error);
            if (!m_address) {
                fail(OpenFailure::Other, error);
                return false;
            }
            // Not cut short by a wake-up: a kick that comes meanwhile goes
            // out on this connection.
            result = connectNetwork(m_device.endpoint, *m_address,
                std::min(ConnectTimeoutMs, remainingMs(deadline)), -1);
            if (!result.transport)
                m_address.reset(); // found again at the next attempt
        } else {
            // Only a serial port takes the hold, and it holds unless told
            // not to: known before the first opening, so that the first one
            // already leaves HUPCL as the hold wants it.
            result = openDeviceNode(m_device, m_device.hold.value_or(true));
        }
        if (!result.transport) {
            fail(result.failure, result.error);
            return false;
        }
        m_transport = std::move(result.transport);
        if (!m_hold) {
            // Opening and closing a serial port toggles its lines; drawers
            // that are devices themselves are nobody's printer.
            const bool ownDevice
                = m_device.protocol == Protocol::Hid || m_device.protocol == Protocol::Trigger;
            m_hold = m_device.hold.value_or(ownDevice || m_transport->isSerialPort());
            m_protocol = makeProtocol(m_device, m_watchSensor, *m_hold);
        }
        if (held()) {
            std::string error;
            if (const auto bytes = m_protocol->holdStart();
                !bytes.empty() && !m_transport->writeAll(bytes, deadline, error)) {
                m_transport.reset();
                fail(OpenFailure::Other, error);
                return false;
            }
        }
        return true;
    }

    bool ask(Clock::time_point deadline, std::optional<bool> &level, std::string &error)
    {
        if (held())
            readPushed();
        else
            m_transport->discardInput();
        if (!m_transport)
            return false;
        StatusAnswer answer = askStatus(*m_transport, *m_protocol, deadline);
        level = answer.level;
        error = std::move(answer.error);
        return answer.answered;
    }

    void answered(std::optional<bool> level)
    {
        {
            std::lock_guard guard(m_monitor.m_mutex);
            m_monitor.m_lastAnswer = Clock::now();
            m_monitor.m_answered = true;
            if (level)
                m_monitor.m_level = level;
        }
        m_monitor.m_changed.notify_all();
        m_busySince.reset();
        m_backoff = std::chrono::milliseconds(0);
        reportProblem(m_subject, {});
    }

    void fail(OpenFailure failure, const std::string &error)
    {
        if (failure == OpenFailure::Gone) {
            std::lock_guard guard(m_monitor.m_mutex);
            m_monitor.m_answered = false;
        }
        m_backoff = std::clamp(m_backoff * 2, std::chrono::milliseconds(200), LongestBackoff);
        if (failure != OpenFailure::Busy) {
            m_busySince.reset();
            reportProblem(m_subject, error);
            return;
        }
        const auto now = Clock::now();
        if (!m_busySince) {
            m_busySince = now;
            m_busyTold = false;
        }
        if (!m_busyTold && now - *m_busySince >= BusyGrace) {
            m_busyTold = true;
            std::string holders;
            if (!m_device.endpoint.isNetwork())
                holders = deviceHolders(m_device.endpoint.path);
            reportProblem(m_subject,
                error + ", busy for 2 s"
                    + (holders.empty() ? std::string() : "; held by process " + holders));
        }
    }

    DeviceMonitor &m_monitor;
    const DrawerSettings &m_device;
    const bool m_watchSensor;
    const std::string m_subject;
    std::optional<bool> m_hold;
    std::unique_ptr<DeviceProtocol> m_protocol;
    std::unique_ptr<Transport> m_transport;
    std::optional<NetworkAddress> m_address;
    std::chrono::milliseconds m_backoff {0};
    std::optional<Clock::time_point> m_busySince;
    bool m_busyTold = false;
};

DeviceMonitor::DeviceMonitor(
    std::vector<DrawerSection> sections, std::shared_ptr<DeviceMonitor> predecessor)
    : m_sections(std::move(sections)), m_predecessor(std::move(predecessor)),
      m_lastCall(Clock::now())
{
    if (::pipe(m_wake) == 0)
        for (int fd : m_wake)
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK),
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

DeviceMonitor::~DeviceMonitor()
{
    for (int fd : m_wake)
        if (fd >= 0)
            ::close(fd);
}

void DeviceMonitor::start()
{
    try {
        // The thread keeps the monitor alive until it has let go of the device.
        std::thread([self = shared_from_this()] { self->run(); }).detach();
    } catch (const std::system_error &) {
        std::lock_guard guard(m_mutex);
        m_finished = m_firstExchangeDone = true;
        reportProblem("threads", "cannot start a thread to watch the drawer's device");
    }
}

void DeviceMonitor::wake()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(m_wake[1], &byte, 1);
}

void DeviceMonitor::waitForFirstExchange(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return m_firstExchangeDone || m_answered; });
}

bool DeviceMonitor::hasFreshAnswer() const
{
    std::lock_guard guard(m_mutex);
    return m_answered && !m_finished && Clock::now() - m_lastAnswer <= AnswerLifetime;
}

std::optional<bool> DeviceMonitor::sensorLevel() const
{
    std::lock_guard guard(m_mutex);
    return m_level;
}

void DeviceMonitor::touch()
{
    std::lock_guard guard(m_mutex);
    m_lastCall = Clock::now();
}

void DeviceMonitor::handleTaken()
{
    std::lock_guard guard(m_mutex);
    ++m_handles;
    m_lastCall = Clock::now();
}

void DeviceMonitor::handleGiven()
{
    std::lock_guard guard(m_mutex);
    m_handles = std::max(0, m_handles - 1);
    m_lastCall = Clock::now();
}

void DeviceMonitor::kick(std::vector<std::uint8_t> bytes)
{
    {
        std::lock_guard guard(m_mutex);
        m_kicks.push_back(std::move(bytes));
    }
    wake();
}

void DeviceMonitor::stop()
{
    {
        std::lock_guard guard(m_mutex);
        m_stopRequested = true;
    }
    wake();
}

bool DeviceMonitor::finished() const
{
    std::lock_guard guard(m_mutex);
    return m_finished;
}

bool DeviceMonitor::waitUntilFinished(std::chrono::steady_clock::time_point deadline) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_until(lock, deadline, [this] { return m_finished; });
}

void DeviceMonitor::run()
{
    if (m_predecessor) {
        m_predecessor->waitUntilFinished(Clock::now() + LongestBackoff);
        m_predecessor.reset();
    }
    {
        Worker worker(*this);
        auto nextPoll = Clock::now();
        bool watchPushed = true;
        for (;;) {
            std::deque<std::vector<std::uint8_t>> kicks;
            auto idleEnd = Clock::now();
            bool inUse = false;
            {
                std::lock_guard guard(m_mutex);
                idleEnd = m_lastCall + IdleLimit;
                inUse = m_handles > 0;
                if (m_stopRequested || (m_handles == 0 && Clock::now() >= idleEnd))
                    break;
                kicks.swap(m_kicks);
            }
            for (const auto &bytes : kicks)
                worker.sendKick(bytes);
            if (Clock::now() >= nextPoll) {
                const bool ok = worker.poll();
                {
                    std::lock_guard guard(m_mutex);
                    m_firstExchangeDone = true;
                }
                m_changed.notify_all();
                nextPoll = Clock::now() + (ok ? PollInterval : worker.backoff());
                watchPushed = true;
            }

            pollfd ready[2] = {{m_wake[0], POLLIN, 0}, {worker.fd(), POLLIN | POLLRDHUP, 0}};
            const int count = worker.held() && worker.fd() >= 0 && watchPushed ? 2 : 1;
            const auto until = inUse ? nextPoll : std::min(nextPoll, idleEnd);
            ::poll(ready, nfds_t(count), std::max(1, remainingMs(until)));
            if (ready[0].revents & POLLIN) {
                char drained[64];
                while (::read(m_wake[0], drained, sizeof drained) > 0) { }
            }
            // A descriptor that reports readiness but gives nothing is left
            // alone until the next exchange, rather than spun on.
            if (count == 2 && ready[1].revents)
                watchPushed = worker.readPushed();
        }
    }
    {
        std::lock_guard guard(m_mutex);
        m_finished = true;
        m_answered = false;
    }
    m_changed.notify_all();
}

} // namespace drawerdriver
