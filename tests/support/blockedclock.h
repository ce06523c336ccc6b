// How long the calling thread slept while a call ran: the wall time less the
// time it ran and the time it waited for a processor, from the scheduler's
// own counts (/proc/thread-self/schedstat). A busy machine delays a call
// without adding to it; only a call that waits on something does. Tests that
// mean "this call never waits on the device" measure this, not wall time.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>

class BlockedClock {
public:
    BlockedClock() { restart(); }

    void restart()
    {
        m_started = std::chrono::steady_clock::now();
        m_scheduledNs = scheduledNs();
    }

    double elapsedMs() const
    {
        const double wallMs = std::chrono::duration<double, std::milli>(
            std::chrono::steady_clock::now() - m_started)
                                  .count();
        return std::max(0.0, wallMs - double(scheduledNs() - m_scheduledNs) / 1e6);
    }

private:
    // Time on a processor plus time waiting for one, in nanoseconds.
    static std::uint64_t scheduledNs()
    {
        std::ifstream counts("/proc/thread-self/schedstat");
        std::uint64_t ran = 0;
        std::uint64_t waited = 0;
        counts >> ran >> waited;
        return ran + waited;
    }

    std::chrono::steady_clock::time_point m_started;
    std::uint64_t m_scheduledNs = 0;
};
