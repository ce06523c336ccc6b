// The history's writes, on a thread of their own, in the order they were
// asked for, except that a kick's row and the truth about it go before
// every other waiting write, so that other accounts' refusals never make a
// kick late: the event loop never waits for the disk, whose fsync may take
// seconds. What a write must tell the loop (a kick's row is on the disk, or
// cannot be written) comes back to it through an eventfd. Rows written
// later (a refusal's repeats, a kick's state) name their row by the ticket
// its append returned.
//
// On a disk short of room (below the reserve) refusals are not written but
// held, one per account, drawer and refusal with a count, and written once
// there is room again; rows about money are written whatever the room.
#pragma once

#include "client/sdbusref.h"
#include "history.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <systemd/sd-event.h>

namespace drawerservice {

class HistoryWriter {
public:
    using Ticket = std::uint64_t;
    // Called on the loop: true once the row is on the disk, false when it
    // cannot be written.
    using Written = std::function<void(bool written)>;

    // Opens the history at path on the writer's thread. changed is called
    // on the loop once it is opened, and when working() or
    // unwrittenRefusals() changed.
    HistoryWriter(sd_event *event, std::string path, std::function<void()> changed);
    // Writes what was asked for, then ends; nothing more is told.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter &) = delete;
    HistoryWriter &operator=(const HistoryWriter &) = delete;

    // Each returns at once; the writes follow on the thread.
    void append(Event event);
    // A kick's row, whose state follows with setState or giveUpKick.
    Ticket appendKick(Event event, Written written);
    // The kick will not be sent. True when its row was not begun: it is
    // then never written, and the refusal is the caller's to record.
    // Otherwise its row is made a refusal with the reason, and recorded is
    // told once the row says so (or never said kick).
    bool giveUpKick(Ticket ticket, const std::string &reason, Written recorded);
    // The first refusal of its window; key names its account, drawer and
    // refusal, for holding it while the disk is short.
    Ticket appendRefusal(Event event, std::string key);
    // These end the ticket.
    void addRepeats(Ticket ticket, std::uint32_t repeats);
    void setState(Ticket ticket, std::string state);

    // Rows older than keepDays before the time, as far as the record
    // agrees with that clock (History::deleteOlderThan).
    void deleteOlderThan(std::int64_t nowUs, int keepDays);
    void setSizeLimit(std::int64_t bytes);

    // The history has been opened (or failed to), and brought up to date:
    // it may be read.
    bool opened() const { return m_opened; }
    // The last write worked (true until one fails).
    bool working() const { return m_working; }
    // Refusals counted but not yet written, for lack of room.
    std::uint64_t unwrittenRefusals() const { return m_unwritten; }

private:
    using Job = std::function<void()>;
    struct Target {
        std::int64_t row = 0;
        std::string held; // the held refusal's key, while it waits
    };
    struct Held {
        Event event;
        std::uint64_t count = 0;
    };

    Ticket enqueue(Job job, bool urgent = false);
    void writeKick(Ticket ticket, const Written &written);
    bool urgentWaiting();
    void run();
    void hold(const std::string &key, const Event &event, std::uint64_t count);
    void writeHeld();
    void tell(Written written, bool ok);
    void publish();
    // The row of a ticket, taken out; 0 for none.
    std::int64_t takeRow(Ticket ticket);
    static int onTold(sd_event_source *source, int fd, std::uint32_t events, void *userdata);

    const std::string m_path;
    const std::function<void()> m_changed;

    // The thread's own.
    std::unique_ptr<History> m_store;
    std::map<Ticket, Target> m_tickets;
    std::map<std::string, Held> m_held;
    bool m_toldTooMany = false;

    // Shared, under m_mutex or atomic.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    std::deque<Job> m_urgent; // served first: kicks, and what their callers wait for
    std::map<Ticket, Event> m_queuedKicks; // kick rows not begun yet
    bool m_stopping = false;
    std::vector<std::pair<Written, bool>> m_told;
    std::atomic<bool> m_opened {false};
    std::atomic<bool> m_working {true};
    std::atomic<std::uint64_t> m_unwritten {0};

    // The loop's own.
    Ticket m_nextTicket = 1;
    int m_toldFd = -1; // an eventfd, readable while something is told
    drawerdriver::EventSourceRef m_toldSource;
    std::thread m_thread;
};

} // namespace drawerservice
