// Print, step by step, none of them waiting on the loop: the job's bytes
// are read from the caller's descriptor on a thread of their own while the
// bus says who called; every kick inside the job gets its row, on the disk
// before any of the job goes to the printer; then the device's monitor
// prints it between its own questions, and the call is answered once the
// printer has taken the last byte, or with how much it took.

#include "drawerservice.h"

#include "busapi.h"
#include "config/background.h"
#include "journal.h"
#include "protocols/commandreader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace drawerservice {

using namespace drawerdriver;
using Clock = std::chrono::steady_clock;

namespace {

// Jobs read or waiting for their printer at once, so that callers cannot
// fill the service's memory with jobs.
constexpr std::size_t MostPrints = 16;
// The bytes all those jobs may hold at once, within the service's memory:
// two of the largest, or many receipts.
constexpr std::size_t MostHeldJobBytes = 2 * bus::MostJobBytes;
// A job's sender that sends nothing for this long, or takes longer than
// the whole limit to send it, has its job refused.
constexpr int JobIdleLimitMs = 10'000;
constexpr auto JobReadLimit = std::chrono::seconds(120);
// A job with more kicks than this is refused: a receipt opens the drawer
// once, and kicks in quick succession burn out the solenoid.
constexpr std::size_t MostKicksPerJob = 16;

// Reads the job to its end, at most MostJobBytes and what take(count)
// allows of the bytes all jobs hold; bounded in time, so that a sender that
// never closes its end holds no thread for ever.
template<typename Take>
void readJob(int fd, std::vector<std::uint8_t> &bytes, std::string &error, bool &tooLarge,
    bool &overBudget, const Take &take)
{
    const auto deadline = Clock::now() + JobReadLimit;
    std::uint8_t buffer[64 * 1024];
    for (;;) {
        pollfd ready {fd, POLLIN, 0};
        const int remaining = int(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        const int waited = ::poll(&ready, 1, std::clamp(remaining, 0, JobIdleLimitMs));
        if (waited < 0 && errno == EINTR)
            continue;
        if (waited <= 0) {
            error = waited == 0 ? "the job's sender sent nothing more for a while"
                                : std::string("cannot wait for the job: ") + std::strerror(errno);
            return;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0) {
            error = std::string("cannot read the job: ") + std::strerror(errno);
            return;
        }
        if (got == 0)
            return;
        if (bytes.size() + std::size_t(got) > bus::MostJobBytes) {
            tooLarge = true;
            return;
        }
        if (!take(std::size_t(got))) {
            overBudget = true;
            return;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
}

std::string megabytes(std::size_t bytes)
{
    return std::to_string(bytes >> 20) + " MiB";
}

// The drawer a kick inside a job fires: the one of the printer's drawers
// on that connector, else the drawer the job was sent to.
int kickedDrawer(const Drawer &called, const DeviceMonitor &monitor, int connector)
{
    for (const auto &[index, settings] : monitor.sections()) {
        const bool pin2 = settings.connector != Connector::Pin5;
        const bool pin5 = settings.connector != Connector::Pin2;
        if ((connector == 0 && pin2) || (connector == 1 && pin5))
            return index + 1;
    }
    return called.number;
}

PrinterLanguage languageOf(const DrawerSettings &settings)
{
    return settings.protocol == Protocol::Star ? PrinterLanguage::StarLine
                                               : PrinterLanguage::EscPos;
}

} // namespace

int DrawerService::print(
    Drawer &drawer, sd_bus_message *call, int fd, const char *title, const char *user)
{
    const std::string number = std::to_string(drawer.number);
    if (!drawer.settings)
        return sd_bus_reply_method_errorf(
            call, bus::NotConfiguredError, "Drawer %s is not configured.", number.c_str());
    const Protocol protocol = drawer.settings->protocol;
    if (protocol != Protocol::EscPos && protocol != Protocol::Star)
        return sd_bus_reply_method_errorf(call, bus::NotAPrinterError,
            "Drawer %s's device (%s) is not a receipt printer.", number.c_str(),
            drawer.settings->device.c_str());
    if (m_prints.size() >= MostPrints)
        return sd_bus_reply_method_errorf(call, bus::BusyError,
            "%zu print jobs are waiting already; try again later.", MostPrints);
    // The descriptor belongs to the message: the reading thread gets a copy.
    const int job = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (job < 0)
        return sd_bus_reply_method_errorf(
            call, bus::PrintFailedError, "Cannot take the job: %s.", std::strerror(errno));

    auto pending = std::make_unique<PendingPrint>();
    PendingPrint &print = *pending;
    // Ids are times, so that they stay unique across restarts of the service.
    m_lastPrintId = print.id = std::max<std::uint64_t>(m_lastPrintId + 1, nowUs());
    print.drawer = &drawer;
    print.call = MessageRef(sd_bus_message_ref(call));
    print.title = cleanField(title);
    print.user = cleanField(user);
    m_prints[print.id] = std::move(pending);
    try {
        backgroundThread([job, id = print.id, notices = m_notices] {
            Notices::JobRead read {id, {}, {}, false, false, JobBytes(notices)};
            readJob(job, read.bytes, read.error, read.tooLarge, read.overBudget,
                [&read](std::size_t count) { return read.held.take(count); });
            ::close(job);
            {
                std::lock_guard guard(notices->mutex);
                notices->jobsRead.push_back(std::move(read));
            }
            notices->post();
        }).detach();
    } catch (const std::system_error &) {
        ::close(job);
        failPrint(print, bus::PrintFailedError, "The service cannot start reading the job.");
        return 1;
    }
    const std::string sender
        = sd_bus_message_get_sender(call) ? sd_bus_message_get_sender(call) : "";
    whoCalled(
        sender, [this, id = print.id](const Event *identity) { printCallerKnown(id, identity); });
    return 1; // answered later
}

DrawerService::JobBytes::JobBytes(JobBytes &&other) noexcept
    : m_notices(std::move(other.m_notices)), m_count(std::exchange(other.m_count, 0))
{
}

DrawerService::JobBytes &DrawerService::JobBytes::operator=(JobBytes &&other) noexcept
{
    if (this != &other) {
        if (m_notices)
            m_notices->jobBytes -= m_count;
        m_notices = std::move(other.m_notices);
        m_count = std::exchange(other.m_count, 0);
    }
    return *this;
}

DrawerService::JobBytes::~JobBytes()
{
    if (m_notices)
        m_notices->jobBytes -= m_count;
}

bool DrawerService::JobBytes::take(std::size_t count)
{
    if (m_notices->jobBytes.fetch_add(count) + count > MostHeldJobBytes) {
        m_notices->jobBytes -= count;
        return false;
    }
    m_count += count;
    return true;
}

void DrawerService::takePrintNotices()
{
    std::vector<Notices::JobRead> read;
    std::vector<std::pair<std::uint64_t, PrintResult>> ended;
    {
        std::lock_guard guard(m_notices->mutex);
        read.swap(m_notices->jobsRead);
        ended.swap(m_notices->jobsEnded);
    }
    for (Notices::JobRead &job : read)
        jobRead(job.id, std::move(job.bytes), std::move(job.error), job.tooLarge, job.overBudget,
            std::move(job.held));
    for (const auto &[id, result] : ended)
        jobEnded(id, result);
}

void DrawerService::jobRead(std::uint64_t id, std::vector<std::uint8_t> bytes, std::string error,
    bool tooLarge, bool overBudget, JobBytes held)
{
    const auto found = m_prints.find(id);
    if (found == m_prints.end())
        return;
    PendingPrint &print = *found->second;
    print.read = true;
    print.bytes = std::move(bytes);
    print.readError = std::move(error);
    print.tooLarge = tooLarge;
    print.overBudget = overBudget;
    print.held = std::move(held);
    if (print.caller)
        recordJobKicks(print);
}

void DrawerService::printCallerKnown(std::uint64_t id, const Event *identity)
{
    const auto found = m_prints.find(id);
    if (found == m_prints.end())
        return;
    PendingPrint &print = *found->second;
    if (!identity) {
        failPrint(
            print, bus::UnknownCallerError, "The bus cannot say who called; nothing was printed.");
        return;
    }
    print.caller = *identity;
    if (print.read)
        recordJobKicks(print);
}

// Every kick inside the job gets its row, the job's user marked as the
// caller named it; the job goes to the printer once all are on the disk.
void DrawerService::recordJobKicks(PendingPrint &print)
{
    if (print.tooLarge) {
        failPrint(print, bus::TooLargeError,
            "The job is larger than " + megabytes(bus::MostJobBytes) + "; nothing was printed.");
        return;
    }
    if (print.overBudget) {
        failPrint(print, bus::BusyError,
            "The print jobs under way hold " + megabytes(MostHeldJobBytes)
                + " already; nothing was printed, try again later.");
        return;
    }
    if (!print.readError.empty()) {
        failPrint(print, bus::PrintFailedError, print.readError + "; nothing was printed.");
        return;
    }
    const PrinterLanguage language = languageOf(*print.drawer->settings);
    // Its last command's missing bytes would be taken from what follows: a
    // status question, a kick, the next job.
    if (PrintJob::endsInsideCommand(language, print.bytes)) {
        failPrint(print, bus::BadJobError,
            "The job ends inside a command of the printer's language; nothing was printed.");
        return;
    }
    const std::vector<JobKick> kicks = findKicks(language, print.bytes.data(), print.bytes.size());
    if (kicks.size() > MostKicksPerJob) {
        failPrint(print, bus::BadJobError,
            "The job holds " + std::to_string(kicks.size()) + " drawer kicks, more than "
                + std::to_string(MostKicksPerJob) + "; nothing was printed.");
        return;
    }
    if (kicks.empty() || !m_writer) {
        jobReady(print);
        return;
    }
    const Event &caller = *print.caller;
    const std::string user
        = print.user.empty() ? caller.user : cleanField(print.user + " (via " + caller.user + ")");
    for (const JobKick &kick : kicks) {
        const int drawer = print.drawer->monitor
            ? kickedDrawer(*print.drawer, *print.drawer->monitor, kick.drawer)
            : print.drawer->number;
        Event event = newEvent(drawer, bus::event::Kick);
        event.uid = caller.uid;
        event.user = user;
        event.pid = caller.pid;
        event.program = caller.program;
        event.reason = cleanField("print job " + std::to_string(print.id) + " \"" + print.title
            + "\"" + (kick.certain ? "" : ", its bytes found after a command not known"));
        event.state = bus::state::Pending;
        ++print.rowsWaiting;
        const HistoryWriter::Ticket row = m_writer->appendKick(
            event, [this, id = print.id](bool written) { jobKickWritten(id, written); });
        print.kicks.push_back({row, kick.offset, std::move(event)});
    }
}

void DrawerService::jobKickWritten(std::uint64_t id, bool written)
{
    const auto found = m_prints.find(id);
    if (found == m_prints.end())
        return;
    PendingPrint &print = *found->second;
    print.rowFailed |= !written;
    if (--print.rowsWaiting > 0)
        return;
    if (!print.rowFailed) {
        jobReady(print);
        return;
    }
    // Nothing of it prints. The caller hears so once the rows that were
    // written say so, so that no row calls a kick what did not fire.
    auto waiting = std::make_shared<std::size_t>(1); // this call's own share
    const auto refuse = [this, id = print.id, waiting](bool) {
        if (--*waiting > 0)
            return;
        if (const auto found = m_prints.find(id); found != m_prints.end())
            failPrint(*found->second, bus::NotRecordedError,
                "The history cannot record the drawer kick in this job, so none of it was "
                "printed; see the service's log.");
    };
    for (PendingPrint::KickRow &kick : print.kicks)
        if (!m_writer->giveUpKick(
                kick.row, "not sent: a kick of its job could not be recorded", refuse))
            ++*waiting;
    print.kicks.clear();
    refuse(true);
}

// Jobs go to their printer in the order they came, however long each took
// to read and record: a job waits for those before it to the same printer.
void DrawerService::jobReady(PendingPrint &print)
{
    print.ready = true;
    handOverReadyJobs();
}

void DrawerService::handOverReadyJobs()
{
    std::set<const DeviceMonitor *> waiting;
    std::vector<std::uint64_t> due;
    for (const auto &[id, pending] : m_prints) {
        if (pending->handedOver)
            continue;
        const DeviceMonitor *monitor = pending->drawer->monitor.get();
        if (!pending->ready)
            waiting.insert(monitor);
        else if (!waiting.count(monitor))
            due.push_back(id);
    }
    for (const std::uint64_t id : due)
        if (const auto found = m_prints.find(id);
            found != m_prints.end() && !found->second->handedOver)
            handJobOver(*found->second);
}

void DrawerService::handJobOver(PendingPrint &print)
{
    Drawer &drawer = *print.drawer;
    if (!drawer.settings || !drawer.monitor) {
        failPrint(print, bus::NotConfiguredError,
            "Drawer " + std::to_string(drawer.number)
                + " is no longer configured; nothing was "
                  "printed.");
        return;
    }
    for (const PendingPrint::KickRow &kick : print.kicks) {
        tellEvent(kick.event);
        if (m_metrics)
            m_metrics->count(kick.event);
    }
    print.handedOver = true;
    drawer.monitor->print(
        std::make_shared<PrintJob>(std::move(print.bytes), languageOf(*drawer.settings),
            [id = print.id, notices = m_notices](const PrintResult &result) {
                {
                    std::lock_guard guard(notices->mutex);
                    notices->jobsEnded.emplace_back(id, result);
                }
                notices->post();
            }));
}

// The kicks' rows follow what the printer took; the caller hears how much.
void DrawerService::jobEnded(std::uint64_t id, const PrintResult &result)
{
    const auto found = m_prints.find(id);
    if (found == m_prints.end())
        return;
    PendingPrint &print = *found->second;
    for (const PendingPrint::KickRow &kick : print.kicks) {
        // A kick is at most five bytes long.
        const bool whole = result.printed || result.taken >= kick.offset + 5;
        const bool part = !whole && result.taken > kick.offset;
        kickEnded(kick.row, kick.event,
            whole      ? KickEnd::Delivered
                : part ? KickEnd::CutShort
                       : KickEnd::Undelivered,
            part ? "cut short: part of it reached the printer"
                 : "its job stopped before it reached the printer");
    }
    print.kicks.clear();
    if (result.printed) {
        sd_bus_reply_method_return(print.call, "t", print.id);
        m_prints.erase(found);
        return;
    }
    const std::string how = result.taken == 0 ? "nothing was printed"
                                              : "the printer took " + std::to_string(result.taken)
            + " of its " + std::to_string(result.size) + " bytes";
    failPrint(print, bus::PrintFailedError,
        "Drawer " + std::to_string(print.drawer->number) + "'s printer: " + result.error + "; "
            + how + ".");
}

void DrawerService::failPrint(PendingPrint &print, const char *error, const std::string &message)
{
    sd_bus_reply_method_errorf(print.call, error, "%s", message.c_str());
    const bool waited = !print.ready;
    m_prints.erase(print.id);
    if (waited) // the jobs after it need not wait any more
        handOverReadyJobs();
}

// At the end: every caller hears, and every kick's row says, that the job
// did not print through this service. Jobs that ended are told as they
// ended; jobs still being read are not begun.
void DrawerService::abandonPrints()
{
    std::vector<std::pair<std::uint64_t, PrintResult>> ended;
    {
        std::lock_guard guard(m_notices->mutex);
        ended.swap(m_notices->jobsEnded);
        m_notices->jobsRead.clear();
    }
    for (const auto &[id, result] : ended)
        jobEnded(id, result);
    for (auto &[id, print] : m_prints) {
        for (const PendingPrint::KickRow &kick : print->kicks) {
            if (print->handedOver)
                m_writer->setState(kick.row, bus::state::Undelivered);
            else
                m_writer->giveUpKick(kick.row, "not sent: the service stopped", {});
        }
        sd_bus_reply_method_errorf(print->call, bus::PrintFailedError,
            "The drawer service stopped before the job was printed; it may have been printed in "
            "part.");
    }
    m_prints.clear();
}

} // namespace drawerservice
