#include "historywriter.h"

#include "config/background.h"
#include "journal.h"

#include <algorithm>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace drawerservice {

namespace {

// How often held refusals look for room.
constexpr auto HeldRetry = std::chrono::seconds(1);
// The most accounts, drawers and refusals held at once; an account has
// 8 drawers and a few refusals, so this is many accounts.
constexpr std::size_t MostHeld = 4096;

} // namespace

HistoryWriter::HistoryWriter(sd_event *event, std::string path, std::function<void()> changed)
    : m_path(std::move(path)), m_changed(std::move(changed)),
      m_toldFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_toldFd >= 0)
        checked(sd_event_add_io(event, m_toldSource.out(), m_toldFd, EPOLLIN, onTold, this),
            "watch the history's writer");
    m_thread = drawerdriver::backgroundThread([this] { run(); });
}

HistoryWriter::~HistoryWriter()
{
    {
        std::lock_guard guard(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
    m_toldSource = {};
    if (m_toldFd >= 0)
        ::close(m_toldFd);
}

HistoryWriter::Ticket HistoryWriter::enqueue(Job job, bool urgent)
{
    {
        std::lock_guard guard(m_mutex);
        (urgent ? m_urgent : m_jobs).push_back(std::move(job));
    }
    m_wake.notify_one();
    return m_nextTicket++;
}

void HistoryWriter::append(Event event)
{
    enqueue([this, event = std::move(event)] { m_store->append(event); });
}

// The row waits among the kicks, where giveUpKick can still take it back.
HistoryWriter::Ticket HistoryWriter::appendKick(Event event, Written written)
{
    const Ticket ticket = m_nextTicket; // enqueue's
    {
        std::lock_guard guard(m_mutex);
        m_queuedKicks[ticket] = std::move(event);
    }
    return enqueue(
        [this, ticket, written = std::move(written)] { writeKick(ticket, written); }, true);
}

void HistoryWriter::writeKick(Ticket ticket, const Written &written)
{
    Event event;
    {
        std::lock_guard guard(m_mutex);
        auto queued = m_queuedKicks.extract(ticket);
        if (queued.empty())
            return; // given up
        event = std::move(queued.mapped());
    }
    std::int64_t row = 0;
    const bool ok = m_store->append(event, &row);
    if (ok)
        m_tickets[ticket] = {row, {}};
    tell(written, ok);
}

bool HistoryWriter::giveUpKick(Ticket ticket, const std::string &reason, Written recorded)
{
    {
        std::lock_guard guard(m_mutex);
        if (m_queuedKicks.erase(ticket) > 0)
            return true;
    }
    enqueue(
        [this, ticket, reason, recorded = std::move(recorded)] {
            const std::int64_t row = takeRow(ticket); // none: no row says kick
            tell(recorded, !row || m_store->turnIntoRefusal(row, reason));
        },
        true);
    return false;
}

HistoryWriter::Ticket HistoryWriter::appendRefusal(Event event, std::string key)
{
    const Ticket ticket = m_nextTicket; // enqueue's
    return enqueue([this, ticket, event = std::move(event), key = std::move(key)] {
        std::int64_t row = 0;
        // Behind a held one of its kind, so that the rows keep their order.
        if (!m_held.count(key) && !m_store->shortOfRoom() && m_store->append(event, &row)) {
            m_tickets[ticket] = {row, {}};
            return;
        }
        hold(key, event, 1);
        if (m_held.count(key))
            m_tickets[ticket] = {0, key};
    });
}

void HistoryWriter::addRepeats(Ticket ticket, std::uint32_t repeats)
{
    enqueue([this, ticket, repeats] {
        const auto found = m_tickets.find(ticket);
        if (found == m_tickets.end())
            return;
        if (const auto held = m_held.find(found->second.held); held != m_held.end()) {
            held->second.count += repeats;
        } else if (repeats > 0) {
            m_store->addRepeats(found->second.row, repeats);
        }
        m_tickets.erase(found);
    });
}

void HistoryWriter::setState(Ticket ticket, std::string state)
{
    enqueue([this, ticket, state = std::move(state)] {
        if (const std::int64_t row = takeRow(ticket))
            m_store->setState(row, state);
    });
}

void HistoryWriter::deleteOlderThan(std::int64_t nowUs, int keepDays)
{
    enqueue([this, nowUs, keepDays] {
        const History::Trim trim = m_store->deleteOlderThan(nowUs, keepDays);
        if (trim.removed > 0)
            logLine(LOG_INFO, "deleted %d history rows older than %d days", trim.removed, keepDays);
        if (trim.heldBack > 0)
            logLine(LOG_WARNING,
                "kept %d history rows that the clock (%s) makes older than %d days: the clock "
                "disagrees with the record, whose newest row is of %s; a trim deletes no row "
                "within %d days of the newest, nor more than half the rows",
                trim.heldBack, utcText(nowUs).c_str(), keepDays, utcText(trim.newestUs).c_str(),
                keepDays);
    });
}

void HistoryWriter::setSizeLimit(std::int64_t bytes)
{
    enqueue([this, bytes] { m_store->setSizeLimit(bytes); });
}

std::int64_t HistoryWriter::takeRow(Ticket ticket)
{
    const auto found = m_tickets.find(ticket);
    if (found == m_tickets.end())
        return 0;
    const std::int64_t row = found->second.row;
    m_tickets.erase(found);
    return row;
}

void HistoryWriter::hold(const std::string &key, const Event &event, std::uint64_t count)
{
    const auto [held, fresh] = m_held.try_emplace(key, Held {event, 0});
    if (fresh && m_held.size() > MostHeld) {
        m_held.erase(held);
        if (!m_toldTooMany)
            logLine(LOG_WARNING,
                "too many refusals wait for room in the history; further "
                "ones are counted in the metrics only");
        m_toldTooMany = true;
        return;
    }
    held->second.count += count;
}

bool HistoryWriter::urgentWaiting()
{
    std::lock_guard guard(m_mutex);
    return !m_urgent.empty();
}

// Each held refusal as one row, at the time of its first, with the rest
// as its repeats; until the room runs short again.
void HistoryWriter::writeHeld()
{
    for (auto held = m_held.begin();
         held != m_held.end() && !urgentWaiting() && !m_store->shortOfRoom();) {
        Event event = held->second.event;
        event.repeats = std::uint32_t(std::min<std::uint64_t>(held->second.count - 1, UINT32_MAX));
        std::int64_t row = 0;
        if (!m_store->append(event, &row))
            return;
        for (auto &[ticket, target] : m_tickets)
            if (target.held == held->first)
                target = {row, {}};
        held = m_held.erase(held);
    }
    m_toldTooMany = m_toldTooMany && !m_held.empty();
}

void HistoryWriter::tell(Written written, bool ok)
{
    if (!written)
        return;
    {
        std::lock_guard guard(m_mutex);
        m_told.emplace_back(std::move(written), ok);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(m_toldFd, &one, sizeof one);
}

// Tells the loop when the history's working or its unwritten count changed.
void HistoryWriter::publish()
{
    const bool working = m_store->working();
    std::uint64_t unwritten = 0;
    for (const auto &[key, held] : m_held)
        unwritten += held.count;
    if (working == m_working && unwritten == m_unwritten)
        return;
    m_working = working;
    m_unwritten = unwritten;
    tell([this](bool) { m_changed(); }, true);
}

void HistoryWriter::run()
{
    m_store = std::make_unique<History>(m_path);
    m_working = m_store->working();
    m_opened = true;
    tell([this](bool) { m_changed(); }, true);
    // One job at a time, so that a kick that comes meanwhile goes next.
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            const auto due = [this] { return !m_urgent.empty() || !m_jobs.empty() || m_stopping; };
            if (m_held.empty())
                m_wake.wait(lock, due);
            else
                m_wake.wait_for(lock, HeldRetry, due);
            std::deque<Job> &queue = m_urgent.empty() ? m_jobs : m_urgent;
            if (queue.empty() && m_stopping)
                break;
            if (!queue.empty()) {
                job = std::move(queue.front());
                queue.pop_front();
            }
        }
        if (job)
            job();
        if (!m_held.empty())
            writeHeld();
        publish();
    }
}

int HistoryWriter::onTold(sd_event_source *, int fd, std::uint32_t, void *userdata)
{
    auto &writer = *static_cast<HistoryWriter *>(userdata);
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(fd, &count, sizeof count);
    std::vector<std::pair<Written, bool>> told;
    {
        std::lock_guard guard(writer.m_mutex);
        told.swap(writer.m_told);
    }
    for (auto &[written, ok] : told)
        written(ok);
    return 0;
}

} // namespace drawerservice
