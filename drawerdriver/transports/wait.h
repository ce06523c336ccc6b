// The driver's one way to wait on a device: every wait has a deadline, may
// be cut short by the monitor's wake-up descriptor, and goes on with the
// time that remains when a signal interrupts it.
#pragma once

#include <chrono>

namespace drawerdriver {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, rounded up, never negative.
int remainingMs(Clock::time_point deadline);

struct WaitResult {
    short events = 0; // what the descriptor reported, 0 when it did not
    bool woken = false; // the wake-up descriptor turned readable
    bool failed = false; // poll itself failed (not by a signal)

    bool ready() const { return events != 0; }
};

// Waits until fd reports one of the events (or an error or hang-up), the
// wake-up descriptor is readable, or the deadline passes. fd or wakeFd may
// be -1 to leave it out; a deadline in the past only looks.
WaitResult waitFor(int fd, short events, Clock::time_point deadline, int wakeFd = -1);

} // namespace drawerdriver
