// The driver's one way to wait on a device: every wait has a deadline and
// may be cut short by the monitor's wake-up signal. On POSIX a device is a
// descriptor waited on with poll, the wake-up a pipe; on Windows each
// transport waits in its own way, the wake-up an event.
#pragma once

#include <chrono>

namespace drawerdriver {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, rounded up, never negative.
int remainingMs(Clock::time_point deadline);

struct WaitResult {
    // What the device reported, 0 when it did not: poll's events on POSIX,
    // any bit on Windows.
    short events = 0;
    bool woken = false; // the wake-up signal was raised
    bool failed = false; // the wait itself failed (not by a signal)
    bool hungUp = false; // the device reported a hang-up or an error

    bool ready() const { return events != 0; }
};

#if defined(_WIN32)
using NativeWake = void *; // an event's HANDLE
inline constexpr NativeWake NoWake = nullptr;
#else
using NativeWake = int; // the read end of a pipe
inline constexpr NativeWake NoWake = -1;
#endif

// What a worker is woken with from another thread, to stop or to take a
// kick: raised any number of times, cleared by the worker once it looks.
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal &) = delete;
    WakeSignal &operator=(const WakeSignal &) = delete;

    // False when the system had nothing to make it with: waits then run
    // to their deadlines.
    bool valid() const { return m_wait != NoWake; }
    void raise();
    void clear();
    // Waits until it is raised or the deadline passes.
    WaitResult wait(Clock::time_point deadline) const;
    NativeWake native() const { return m_wait; }

private:
    NativeWake m_wait = NoWake;
#if !defined(_WIN32)
    int m_raise = -1; // the pipe's write end
#endif
};

#if !defined(_WIN32)
// Waits until fd reports one of the events (or an error or hang-up), the
// wake-up descriptor is readable, or the deadline passes. fd or wakeFd may
// be -1 to leave it out; a deadline in the past only looks. A signal does
// not cut it short: it goes on with the time that remains.
WaitResult waitFor(int fd, short events, Clock::time_point deadline, int wakeFd = -1);
#endif

} // namespace drawerdriver
