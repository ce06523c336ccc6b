#include "monitor/monitor.h"

#include "config/background.h"
#include "config/report.h"
#include "monitor/connection.h"
#include "monitor/health.h"
#include "protocols/exchange.h"
#include "transports/serialport.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

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
// How often a kick that met a busy device is tried again.
constexpr std::chrono::milliseconds KickRetryInterval {200};
// How often a job's end is looked for while the printer takes its last
// bytes, and the most of a job written at once.
constexpr std::chrono::milliseconds DrainCheckInterval {10};
constexpr std::size_t MostBytesPerWrite = 16 * 1024;
// The most of a job left in the kernel's queue for the printer: what is
// queued goes out before a kick or a question written after it, and a
// network connection's queue holds megabytes, seconds of a receipt. A
// serial port's goes out at its speed: it keeps about 50 ms of it.
constexpr std::size_t MostQueued = 1024;
constexpr int SerialQueueShare = 20; // of a second
// After a job that asked the printer something, its answers may still come:
// the next question waits until the printer has sent nothing for this long.
constexpr std::chrono::milliseconds JobAnswersQuiet {500};

} // namespace

// What one turn of the worker's loop has to do, taken under the lock.
struct DeviceMonitor::Work {
    bool end = false;
    bool inUse = false;
    Clock::time_point idleEnd;
};

// Everything that only the worker thread touches: the connection, the
// device's health, the kicks not yet delivered, and when to act next.
class DeviceMonitor::Worker {
public:
    explicit Worker(DeviceMonitor &monitor)
        : m_monitor(monitor), m_device(deviceSettings(monitor.m_sections)),
          m_watchSensor(anySensor(monitor.m_sections)), m_connection(m_device, m_watchSensor),
          m_health("device " + deviceKey(m_device),
              m_device.endpoint.isNetwork() ? std::string() : m_device.endpoint.path)
    {
    }

    std::deque<PendingKick> pending;

    // One status exchange when it is due, or a presence check where no
    // sensor is read.
    void pollIfDue()
    {
        if (Clock::now() < m_nextPoll)
            return;
        m_jobAnswersMayCome = false;
        const Clock::time_point asked = m_monitor.questionAsked();
        m_occupied = false;
        const bool ok = exchange();
        // A device another program holds for a moment (printing a receipt)
        // has not failed to answer yet: its question stays under way, tried
        // again, until its deadline.
        const Clock::time_point giveUp = asked + ExchangeLimit;
        const bool stillAsking = !ok && m_occupied && Clock::now() < giveUp;
        if (!stillAsking)
            m_monitor.questionEnded(ok);
        m_monitor.markExchangeDone();
        m_nextPoll = Clock::now() + (ok ? PollInterval : m_health.backoff());
        if (stillAsking)
            m_nextPoll = std::min(m_nextPoll, giveUp);
        m_watchPushed = true;
    }

    std::deque<std::shared_ptr<PrintJob>> jobs;

    bool printing() const { return !jobs.empty(); }

    // Moves the first job on as far as the printer takes it now, with the
    // kicks and status questions due between its commands.
    void printSome()
    {
        PrintJob &job = *jobs.front();
        if (!m_jobStarted && !startJob(job))
            return;
        readDuringJob(job);
        if (!m_connection.isOpen()) {
            endJob(job, false, m_lastError);
            return;
        }
        const auto now = Clock::now();
        if (m_awaiting && now >= m_answerDeadline) {
            // A late answer could no longer be told from the job's bytes.
            m_connection.reader().endExchange();
            m_awaiting = false;
            m_noMoreQuestions = true;
        }
        dropExpiredKicks();
        // What the printer took of what was written counts as much as room
        // to write more.
        const std::size_t unsent = m_connection.transport().unsentBytes();
        if (unsent < m_lastUnsent)
            took(job);
        m_lastUnsent = unsent;
        if (now - job.lastTaken >= m_monitor.m_stallLimit)
            m_monitor.printerStalled();
        if (now - job.lastTaken >= PrintGiveUp) {
            endJob(job, false,
                m_connection.transport().name() + " took nothing for "
                    + std::to_string(PrintGiveUp.count() / 1000) + " s");
            return;
        }
        writeJob(job);
    }

    // Ends every job: the monitor is ending. Those not begun go to a
    // successor, if one comes.
    void abandonJobs()
    {
        if (m_jobStarted)
            endJob(*jobs.front(), false,
                "the drawer's monitor stopped (its settings changed, "
                "or the service is stopping)");
    }

    // What the worker waits for during a job: the device (null for none),
    // whether to wait for it to take more, and the time of the next thing
    // due.
    Transport *jobWait(bool &writable, Clock::time_point &until)
    {
        Transport *device = nullptr;
        writable = false;
        const PrintJob &job = *jobs.front();
        const auto stall = m_monitor.m_stallLimit;
        until = job.lastTaken + (Clock::now() - job.lastTaken < stall ? stall : PrintGiveUp);
        if (!m_jobStarted) {
            until = m_nextJobTry;
        } else if (m_connection.isOpen()) {
            device = &m_connection.transport();
            // Nothing to write: the job is written, or its next piece waits
            // for the answer to our question.
            const bool waiting = m_ownBytes.empty()
                && (job.allWritten() || (m_awaiting && job.atBoundary() && job.pieceMayAnswer()));
            // A full queue is looked at again soon rather than waited on:
            // the device stays writable while it drains.
            const bool full = m_connection.transport().unsentBytes() >= queueLimit();
            writable = !waiting && !full;
            // What the printer takes shows in the queue, not on the
            // descriptor; a full queue is looked at again as soon.
            const bool draining = job.allWritten() && m_ownBytes.empty() && !m_awaiting;
            until = std::min(until,
                Clock::now()
                    + (draining || full ? DrainCheckInterval : m_monitor.m_stallLimit / 4));
            if (m_awaiting)
                until = std::min(until, m_answerDeadline);
        }
        for (const PendingKick &kick : pending)
            until = std::min(until, kick.deadline);
        if (m_monitor.m_checkConfig)
            until = std::min(until, m_nextConfigCheck);
        return device;
    }

    // Sends the kicks that are due; a kick that meets a busy or absent
    // device stays until its deadline. lastChance: the monitor is ending,
    // each kick gets one more try.
    void deliverKicks(bool lastChance)
    {
        if (pending.empty() || (!lastChance && Clock::now() < m_nextKickTry))
            return;
        while (!pending.empty()) {
            const PendingKick &kick = pending.front();
            if (Clock::now() >= kick.deadline) {
                tellUndelivered(kick, "busy");
                pending.pop_front();
                continue;
            }
            const std::optional<KickEnd> end = sendKick(kick);
            if (!end) {
                m_nextKickTry = Clock::now() + KickRetryInterval;
                return;
            }
            tellEnd(kick, *end);
            pending.pop_front();
        }
    }

    // Reads what a held device sent by itself: pushed statuses count as
    // answers the moment they arrive.
    void readPushed()
    {
        if (!m_connection.isOpen())
            return;
        Transport &transport = m_connection.transport();
        std::vector<std::uint8_t> buffer(m_connection.protocol().readSize());
        std::string error;
        bool any = false;
        for (std::size_t total = 0; total < MostBytesPerWakeUp;) {
            const long got = transport.readAvailable(buffer.data(), buffer.size(), error);
            if (got < 0) {
                m_connection.close();
                failed(OpenFailure::Gone, error);
                return;
            }
            if (got == 0)
                break;
            any = true;
            total += std::size_t(got);
            if (m_jobAnswersMayCome)
                m_nextPoll = std::max(m_nextPoll, Clock::now() + JobAnswersQuiet);
            const Reading reading
                = m_connection.reader().take(buffer.data(), std::size_t(got), Clock::now());
            if (!reading.pushed.empty())
                answered(reading.pushed.back());
        }
        // A device that reports readiness but gives nothing is left
        // alone until the next exchange, rather than spun on.
        m_watchPushed = any;
    }

    void checkConfigIfDue()
    {
        if (!m_monitor.m_checkConfig || Clock::now() < m_nextConfigCheck)
            return;
        m_nextConfigCheck = Clock::now() + ConfigCheckInterval;
        m_monitor.m_checkConfig();
    }

    // When the worker has something to do next, the idle end aside.
    Clock::time_point nextWake() const
    {
        auto next = std::min(m_nextPoll, m_monitor.m_checkConfig ? m_nextConfigCheck : m_nextPoll);
        return pending.empty() ? next : std::min(next, m_nextKickTry);
    }

    // The transport to watch for pushed statuses, or null.
    Transport *pushedSource()
    {
        return m_connection.held() && m_connection.isOpen() && m_watchPushed
            ? &m_connection.transport()
            : nullptr;
    }

    void tellUndelivered(const PendingKick &kick, const std::string &why)
    {
        const std::string drawer = "drawer " + std::to_string(kick.drawer + 1);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(KickDeadline);
        reportProblem(drawer + " kick",
            drawer + ": kick not delivered, device " + why + " for "
                + std::to_string(seconds.count()) + " s");
        reportProblem(drawer + " kick", {}); // the next lost kick is told too
        tellEnd(kick, KickEnd::Undelivered);
    }

    void tellEnd(const PendingKick &kick, KickEnd end)
    {
        if (m_monitor.m_onKickEnd)
            m_monitor.m_onKickEnd(kick.drawer, kick.tag, end);
    }

private:
    // An own bytes to go between two of a job's commands: a kick, or a
    // status question; once begun, written whole before the job goes on.
    struct OwnBytes {
        std::vector<std::uint8_t> bytes;
        std::size_t written = 0;
        std::optional<PendingKick> kick;
    };

    bool startJob(PrintJob &job)
    {
        if (Clock::now() < m_nextJobTry)
            return false;
        std::string error;
        const bool reached = !(m_connection.needsLookup() && !m_connection.lookUp(error))
            && connect(Clock::now() + ExchangeLimit);
        if (!reached) {
            if (!error.empty())
                failed(OpenFailure::Other, error);
            // A printer busy for a moment is tried again, within the limit.
            if (Clock::now() - job.lastTaken >= m_monitor.m_stallLimit)
                endJob(job, false, m_lastError);
            else
                m_nextJobTry = Clock::now() + KickRetryInterval;
            return false;
        }
        if (!m_connection.held())
            m_connection.transport().discardInput();
        m_jobStarted = true;
        m_noMoreQuestions = false;
        job.lastTaken = Clock::now();
        m_nextPoll = Clock::now();
        m_monitor.printingStarted();
        return true;
    }

    // The printer's bytes during a job: statuses while only the monitor
    // has asked, the job's own from the piece that may answer on.
    void readDuringJob(PrintJob &job)
    {
        std::vector<std::uint8_t> buffer(m_connection.protocol().readSize());
        for (std::size_t total = 0; total < MostBytesPerWakeUp;) {
            const long got
                = m_connection.transport().readAvailable(buffer.data(), buffer.size(), m_lastError);
            if (got < 0) {
                m_connection.close();
                failed(OpenFailure::Gone, m_lastError);
                return;
            }
            if (got == 0)
                return;
            total += std::size_t(got);
            if (job.answersAreTheJobs() || m_noMoreQuestions)
                continue;
            const Reading reading
                = m_connection.reader().take(buffer.data(), std::size_t(got), Clock::now());
            if (reading.answer) {
                m_connection.reader().endExchange();
                m_awaiting = false;
                m_nextPoll = Clock::now() + PollInterval;
                answered(reading.answer);
            }
            if (!reading.pushed.empty())
                answered(reading.pushed.back());
            if (reading.noise) {
                // Something answers that the reading did not expect.
                m_connection.reader().endExchange();
                m_awaiting = false;
                m_noMoreQuestions = true;
            }
        }
    }

    // Writes the monitor's own bytes first, then the job's, piece by piece,
    // as far as the printer takes them; at each piece's start the kicks
    // and the question that are due go first.
    void writeJob(PrintJob &job)
    {
        Transport &transport = m_connection.transport();
        for (;;) {
            if (!writeOwnBytes(job))
                return;
            if (job.allWritten()) {
                finishWhenTaken(job);
                return;
            }
            if (job.needsPiece())
                job.nextPiece();
            if (job.atBoundary()) {
                if (queueKicks() || queueQuestion(job))
                    continue;
                if (m_awaiting && job.pieceMayAnswer())
                    return; // its answers would be taken for ours
                job.startPiece();
            }
            const std::size_t queued = transport.unsentBytes();
            if (queued >= queueLimit())
                return;
            const std::size_t size
                = std::min({job.restSize(), MostBytesPerWrite, queueLimit() - queued});
            const long wrote = transport.writeAvailable(job.rest(), size, m_lastError);
            if (wrote < 0) {
                endJob(job, false, m_lastError);
                return;
            }
            if (wrote == 0)
                return;
            job.wrote(std::size_t(wrote));
            took(job);
            m_lastUnsent = transport.unsentBytes();
        }
    }

    std::size_t queueLimit()
    {
        // 8N1: ten bits a byte.
        if (m_connection.transport().serialPort())
            return std::clamp<std::size_t>(
                std::size_t(m_device.speed) / 10 / SerialQueueShare, 16, MostQueued);
        return MostQueued;
    }

    // False while they are not all written, or when the printer failed.
    bool writeOwnBytes(PrintJob &job)
    {
        while (!m_ownBytes.empty()) {
            OwnBytes &own = m_ownBytes.front();
            const long wrote = m_connection.transport().writeAvailable(
                own.bytes.data() + own.written, own.bytes.size() - own.written, m_lastError);
            if (wrote < 0) {
                endJob(job, false, m_lastError);
                return false;
            }
            if (wrote == 0)
                return false;
            own.written += std::size_t(wrote);
            took(job);
            if (own.written < own.bytes.size())
                continue;
            if (own.kick) {
                tellEnd(*own.kick, KickEnd::Delivered);
            } else {
                m_awaiting = true;
                m_answerDeadline = Clock::now() + InJobAnswerLimit;
                m_connection.reader().ask(m_answerDeadline);
            }
            m_ownBytes.pop_front();
        }
        return true;
    }

    bool queueKicks()
    {
        dropExpiredKicks();
        const bool any = !pending.empty();
        for (PendingKick &kick : pending)
            m_ownBytes.push_back({kick.bytes, 0, std::move(kick)});
        pending.clear();
        return any;
    }

    bool queueQuestion(const PrintJob &job)
    {
        const std::vector<std::uint8_t> question = m_connection.protocol().statusRequest();
        if (!m_watchSensor || question.empty() || m_awaiting || m_noMoreQuestions || !job.mayAsk()
            || Clock::now() < m_nextPoll)
            return false;
        m_ownBytes.push_back({question, 0, std::nullopt});
        return true;
    }

    void dropExpiredKicks()
    {
        const auto now = Clock::now();
        for (auto kick = pending.begin(); kick != pending.end();) {
            if (now < kick->deadline) {
                ++kick;
                continue;
            }
            tellUndelivered(*kick, "printing a job with no place for it");
            kick = pending.erase(kick);
        }
    }

    // The job's end: once the printer has taken the bytes written, and
    // answered the question asked among them (or not in time), so that no
    // answer comes after the connection is closed.
    void finishWhenTaken(PrintJob &job)
    {
        if (m_connection.transport().unsentBytes() == 0 && !m_awaiting)
            endJob(job, true, {});
    }

    void took(PrintJob &job)
    {
        job.lastTaken = Clock::now();
        m_monitor.printerTook();
    }

    void endJob(PrintJob &job, bool printed, std::string error)
    {
        std::size_t taken = job.written();
        if (!printed && m_connection.isOpen())
            taken -= std::min(taken, m_connection.transport().unsentBytes());
        // A kick begun goes whole or is told cut short; the rest wait for
        // the next exchange.
        for (OwnBytes &own : m_ownBytes) {
            if (!own.kick)
                continue;
            if (own.written == 0)
                pending.push_front(std::move(*own.kick));
            else
                tellEnd(*own.kick, KickEnd::CutShort);
        }
        m_ownBytes.clear();
        if (m_awaiting)
            m_connection.reader().endExchange();
        m_awaiting = false;
        m_jobStarted = false;
        m_lastUnsent = SIZE_MAX;
        m_nextJobTry = m_nextPoll = Clock::now();
        if (!printed && !error.empty())
            m_connection.close();
        // A held connection may yet bring the answers to the job's questions.
        m_jobAnswersMayCome = job.answersAreTheJobs() && m_connection.held();
        if (m_jobAnswersMayCome)
            m_nextPoll += JobAnswersQuiet;
        // A job may have ended the automatic status the hold asked for.
        if (m_connection.isOpen() && m_connection.held()) {
            std::string ignored;
            m_connection.transport().writeAll(
                m_connection.protocol().holdStart(), Clock::now() + ExchangeLimit, ignored);
        }
        m_connection.closeUnlessHeld();
        m_monitor.printingEnded();
        const std::shared_ptr<PrintJob> done = std::move(jobs.front());
        jobs.pop_front();
        done->finish(printed, taken, std::move(error));
    }

    bool connect(Clock::time_point deadline)
    {
        if (m_connection.isOpen())
            return true;
        OpenFailure failure = OpenFailure::Other;
        std::string error;
        if (m_connection.open(deadline, failure, error))
            return true;
        failed(failure, error);
        return false;
    }

    bool exchange()
    {
        std::string error;
        // Outside the exchange's deadline: a lookup may take longer than it.
        if (m_connection.needsLookup() && !m_connection.lookUp(error)) {
            failed(OpenFailure::Other, error);
            return false;
        }
        const auto deadline = Clock::now() + ExchangeLimit;
        if (!connect(deadline))
            return false;
        std::optional<bool> level;
        bool ok = true;
        Transport &transport = m_connection.transport();
        if (!m_watchSensor) {
            // Nothing is sent: an open device without hang-up is the answer.
            ok = transport.isPresent();
            error = transport.name() + " hung up";
        } else if (m_device.protocol == Protocol::Trigger) {
            SerialPort *port = transport.serialPort();
            level = port ? port->lineLevel(m_device.sensorLine, error) : std::nullopt;
            if (!port)
                error = transport.name() + " has no modem status lines";
            ok = level.has_value() && transport.isPresent();
        } else {
            ok = ask(deadline, level, error);
        }
        if (!m_connection.isOpen())
            return false; // dropped, and told, while reading what it had pushed
        if (!ok) {
            // A held connection stays for the pushed statuses, unless the
            // device has gone.
            const bool gone = !m_connection.transport().isPresent();
            if (gone)
                m_connection.close();
            m_connection.closeUnlessHeld();
            failed(gone ? OpenFailure::Gone : OpenFailure::Other, error);
            return false;
        }
        m_connection.closeUnlessHeld();
        answered(level);
        return true;
    }

    bool ask(Clock::time_point deadline, std::optional<bool> &level, std::string &error)
    {
        if (m_connection.held())
            readPushed();
        else
            m_connection.transport().discardInput();
        if (!m_connection.isOpen())
            return false;
        StatusAnswer answer = askStatus(
            m_connection.transport(), m_connection.reader(), m_connection.protocol(), deadline);
        if (!answer.answered && answer.pushed) {
            // No answer, but the device pushed its state meanwhile: that
            // is as good.
            answer.answered = true;
            answer.level = answer.pushed;
        }
        level = answer.level;
        error = std::move(answer.error);
        return answer.answered;
    }

    // How the kick ended once it is done with (sent, or cut short and
    // told), or nothing while it may be tried again.
    std::optional<KickEnd> sendKick(const PendingKick &kick)
    {
        const auto deadline = Clock::now() + ExchangeLimit;
        if (!connect(deadline))
            return std::nullopt;
        std::string error;
        std::size_t written = 0;
        const bool ok = m_connection.transport().writeAll(kick.bytes, deadline, error, &written);
        if (!ok || !m_connection.held())
            m_connection.close();
        if (ok)
            return KickEnd::Delivered;
        failed(OpenFailure::Other, "the kick did not reach the drawer: " + error);
        if (written == 0)
            return std::nullopt; // nothing of it arrived: it may be tried again
        // Part of it arrived: sent again, it might fire the drawer twice.
        reportProblem("drawer " + std::to_string(kick.drawer + 1) + " kick",
            "drawer " + std::to_string(kick.drawer + 1)
                + ": kick cut short, not sent again: " + error);
        return KickEnd::CutShort;
    }

    void answered(std::optional<bool> level)
    {
        m_monitor.recordAnswer(level);
        m_health.answered();
    }

    void failed(OpenFailure failure, const std::string &error)
    {
        m_lastError = error;
        m_occupied = failure == OpenFailure::Busy || failure == OpenFailure::Refused;
        if (failure == OpenFailure::Gone)
            m_monitor.recordGone();
        m_health.failed(failure, error);
    }

    DeviceMonitor &m_monitor;
    const DrawerSettings &m_device;
    const bool m_watchSensor;
    DeviceConnection m_connection;
    DeviceHealth m_health;
    Clock::time_point m_nextPoll = Clock::now();
    Clock::time_point m_nextKickTry = Clock::now();
    Clock::time_point m_nextConfigCheck = Clock::now() + ConfigCheckInterval;
    bool m_watchPushed = true;
    bool m_occupied = false; // the last failure: the device is busy, or refused us
    std::string m_lastError;
    // The job under way.
    bool m_jobStarted = false;
    Clock::time_point m_nextJobTry = Clock::now();
    std::deque<OwnBytes> m_ownBytes;
    bool m_awaiting = false; // a status question of ours awaits its answer
    Clock::time_point m_answerDeadline;
    bool m_noMoreQuestions = false; // until the job ends
    std::size_t m_lastUnsent = SIZE_MAX;
    bool m_jobAnswersMayCome = false; // until the printer has been quiet
};

DeviceMonitor::DeviceMonitor(std::vector<DrawerSection> sections,
    std::shared_ptr<DeviceMonitor> predecessor, std::function<void()> checkConfig)
    : m_sections(std::move(sections)), m_predecessor(std::move(predecessor)),
      m_checkConfig(std::move(checkConfig)), m_lastCall(Clock::now())
{
    if (m_predecessor)
        inheritAnswer(*m_predecessor);
    if (!m_wake.valid())
        reportProblem("threads",
            "cannot make the signal that wakes the drawer's monitor: "
                + std::generic_category().message(errno));
}

DeviceMonitor::~DeviceMonitor() = default;

void DeviceMonitor::start()
{
    try {
        // The thread keeps the monitor alive until it has let go of the device.
        backgroundThread([self = shared_from_this()] { self->run(); }).detach();
    } catch (const std::system_error &) {
        std::lock_guard guard(m_mutex);
        m_finished = m_firstExchangeDone = m_ending = true;
        reportProblem("threads", "cannot start a thread to watch the drawer's device");
    }
}

const DrawerSettings *DeviceMonitor::section(int drawer) const
{
    for (const auto &[number, settings] : m_sections)
        if (number == drawer)
            return &settings;
    return nullptr;
}

void DeviceMonitor::wake()
{
    m_wake.raise();
}

void DeviceMonitor::waitForFirstExchange(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return m_firstExchangeDone || m_answered; });
}

// A device whose settings did not change (another drawer's section on it
// did) is the same device: it goes on answering as it did until the new
// monitor's first question ends, so that an edit never refuses a kick.
// That first question counts as under way from now. A predecessor that has
// already decided to end, after idling, passes nothing on.
void DeviceMonitor::inheritAnswer(DeviceMonitor &predecessor)
{
    if (deviceSettings(predecessor.m_sections) != deviceSettings(m_sections))
        return;
    std::scoped_lock guard(m_mutex, predecessor.m_mutex);
    if (predecessor.m_ending)
        return;
    m_answered = predecessor.m_answered;
    m_level = predecessor.m_level;
    m_askedAt = Clock::now();
}

bool DeviceMonitor::answering() const
{
    std::lock_guard guard(m_mutex);
    if (m_printing)
        return m_answered && !m_finished && Clock::now() - m_lastTaken < m_stallLimit;
    return m_answered && !m_finished && (!m_askedAt || Clock::now() - *m_askedAt < UnansweredLimit);
}

std::optional<bool> DeviceMonitor::sensorLevel() const
{
    std::lock_guard guard(m_mutex);
    return m_level;
}

bool DeviceMonitor::touch()
{
    std::lock_guard guard(m_mutex);
    if (m_ending)
        return false;
    m_lastCall = Clock::now();
    return true;
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

void DeviceMonitor::kick(int drawer, std::vector<std::uint8_t> bytes, std::uint64_t tag)
{
    {
        std::lock_guard guard(m_mutex);
        m_kicks.push_back({drawer, std::move(bytes), Clock::now() + KickDeadline, tag});
    }
    wake();
}

void DeviceMonitor::print(std::shared_ptr<PrintJob> job)
{
    {
        std::lock_guard guard(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    wake();
}

void DeviceMonitor::stop(bool forGood)
{
    {
        std::lock_guard guard(m_mutex);
        m_stopRequested = true;
        m_stopForGood |= forGood;
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

std::deque<PendingKick> DeviceMonitor::takeKicks()
{
    std::lock_guard guard(m_mutex);
    return std::exchange(m_kicks, {});
}

std::deque<std::shared_ptr<PrintJob>> DeviceMonitor::takeJobs()
{
    std::lock_guard guard(m_mutex);
    return std::exchange(m_jobs, {});
}

// Inside a job the printer's taking of its bytes says it is there; the
// status questions, where the job lets them go, give the sensor.
void DeviceMonitor::printingStarted()
{
    update([&] {
        m_printing = true;
        m_lastTaken = Clock::now();
        m_askedAt.reset();
        m_answered = true;
    });
}

void DeviceMonitor::printerTook()
{
    bool wasAnswered = false;
    {
        std::lock_guard guard(m_mutex);
        m_lastTaken = Clock::now();
        wasAnswered = m_answered;
    }
    if (!wasAnswered)
        update([&] { m_answered = true; });
}

void DeviceMonitor::printerStalled()
{
    update([&] { m_answered = false; });
}

void DeviceMonitor::printingEnded()
{
    std::lock_guard guard(m_mutex);
    m_printing = false;
}

void DeviceMonitor::markExchangeDone()
{
    {
        std::lock_guard guard(m_mutex);
        m_firstExchangeDone = true;
    }
    m_changed.notify_all();
}

Clock::time_point DeviceMonitor::questionAsked()
{
    std::lock_guard guard(m_mutex);
    if (!m_askedAt)
        m_askedAt = Clock::now();
    return *m_askedAt;
}

void DeviceMonitor::questionEnded(bool answered)
{
    update([&] {
        m_askedAt.reset();
        m_answered = answered;
    });
}

void DeviceMonitor::recordAnswer(std::optional<bool> level)
{
    update([&] {
        m_answered = true;
        if (level)
            m_level = level;
    });
}

void DeviceMonitor::recordGone()
{
    update([&] { m_answered = false; });
}

// Changes what the entry points read, under the lock, then tells the
// waiters and, if it differs, the watcher.
void DeviceMonitor::update(const std::function<void()> &change)
{
    bool differs = false;
    {
        std::lock_guard guard(m_mutex);
        const bool answered = m_answered;
        const std::optional<bool> level = m_level;
        change();
        differs = m_answered != answered || m_level != level;
    }
    m_changed.notify_all();
    if (differs && m_onChange)
        m_onChange();
}

// Takes the new kicks and decides whether to end: when told to, or when
// nobody has asked about the drawers for IdleLimit and nothing is left to
// deliver. Once decided, no call can keep the monitor (touch says so).
DeviceMonitor::Work DeviceMonitor::takeWork(Worker &worker)
{
    std::lock_guard guard(m_mutex);
    Work work;
    work.idleEnd = m_lastCall + IdleLimit;
    work.inUse = m_handles > 0;
    std::move(m_kicks.begin(), m_kicks.end(), std::back_inserter(worker.pending));
    m_kicks.clear();
    std::move(m_jobs.begin(), m_jobs.end(), std::back_inserter(worker.jobs));
    m_jobs.clear();
    const bool idle = !work.inUse && worker.pending.empty() && worker.jobs.empty()
        && Clock::now() >= work.idleEnd;
    work.end = m_ending = m_stopRequested || idle;
    return work;
}

void DeviceMonitor::serve(Worker &worker)
{
    for (;;) {
        const Work work = takeWork(worker);
        if (work.end) {
            worker.abandonJobs();
            worker.deliverKicks(true);
            return;
        }
        if (worker.printing()) {
            worker.printSome();
        } else {
            worker.deliverKicks(false);
            worker.pollIfDue();
        }
        worker.checkConfigIfDue();

        Clock::time_point until;
        Transport *device = nullptr;
        bool writable = false;
        if (worker.printing()) {
            device = worker.jobWait(writable, until); // a job keeps the monitor
        } else {
            device = worker.pushedSource();
            until = work.inUse ? worker.nextWake() : std::min(worker.nextWake(), work.idleEnd);
        }
        const WaitResult ready
            = device ? device->waitReadyForJob(until, writable, &m_wake) : m_wake.wait(until);
        if (ready.woken)
            m_wake.clear();
        if (!worker.printing() && device && ready.ready())
            worker.readPushed();
    }
}

void DeviceMonitor::run()
{
    if (m_predecessor) {
        m_predecessor->waitUntilFinished(Clock::now() + LongestBackoff + ExchangeLimit);
        std::deque<PendingKick> handedOver = m_predecessor->takeKicks();
        std::deque<std::shared_ptr<PrintJob>> jobs = m_predecessor->takeJobs();
        {
            std::lock_guard guard(m_mutex);
            m_kicks.insert(m_kicks.begin(), handedOver.begin(), handedOver.end());
            m_jobs.insert(m_jobs.begin(), jobs.begin(), jobs.end());
        }
        m_predecessor.reset();
    }
    std::deque<std::shared_ptr<PrintJob>> unprinted;
    {
        Worker worker(*this);
        serve(worker);
        // What could not be delivered goes to a successor, if one comes.
        std::lock_guard guard(m_mutex);
        m_kicks.insert(m_kicks.begin(), worker.pending.begin(), worker.pending.end());
        m_jobs.insert(m_jobs.begin(), worker.jobs.begin(), worker.jobs.end());
        if (m_stopForGood)
            unprinted.swap(m_jobs);
    }
    for (const std::shared_ptr<PrintJob> &job : unprinted)
        job->finish(false, 0, "its printer was taken out of the configuration");
    update([&] {
        m_finished = true;
        m_answered = false;
    });
}

} // namespace drawerdriver
