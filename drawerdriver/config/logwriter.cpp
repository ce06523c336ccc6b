#include "config/logwriter.h"

#include "config/background.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>

namespace drawerdriver {

namespace {

constexpr std::size_t MostLinesWaiting = 256;

struct LogWriter {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;
    std::size_t dropped = 0;
    std::size_t busy = 0; // lines taken but not yet written
    bool started = false;
    std::string journalProgram; // set: standard error is the journal

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !lines.empty() || dropped > 0; });
            std::deque<std::string> taken;
            taken.swap(lines);
            if (dropped > 0)
                taken.push_back(std::to_string(dropped) + " more messages were dropped");
            dropped = 0;
            busy = taken.size();
            const std::string journal = journalProgram;
            lock.unlock();
            for (const std::string &line : taken)
                emitLogLine(line, journal);
            lock.lock();
            busy = 0;
            changed.notify_all();
        }
    }
};

// Never destroyed: a monitor still stopping while the process exits may
// have one last thing to say, and the writer thread outlives every caller.
LogWriter *writer = new LogWriter;

} // namespace

void writeLogLine(std::string line)
{
    LogWriter &log = *writer;
    std::lock_guard guard(log.mutex);
    if (!log.started) {
        try {
            backgroundThread([&log] { log.run(); }).detach();
            log.started = true;
        } catch (const std::system_error &) {
            return; // no thread, no messages; the drawers still work
        }
    }
    if (log.lines.size() >= MostLinesWaiting)
        ++log.dropped;
    else
        log.lines.push_back(std::move(line));
    log.changed.notify_all();
}

void flushLogLines(std::chrono::milliseconds limit)
{
    LogWriter &log = *writer;
    std::unique_lock lock(log.mutex);
    log.changed.wait_for(lock, limit,
        [&log] { return !log.started || (log.lines.empty() && !log.dropped && !log.busy); });
}

void restartLogWriterAfterFork()
{
    writer = new LogWriter; // the old one's lock may be held by a thread that is gone
}

void writeLogLinesToJournal(std::string program)
{
    std::lock_guard guard(writer->mutex);
    writer->journalProgram = std::move(program);
}

} // namespace drawerdriver
