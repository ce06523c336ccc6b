#include "transports/wait.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <poll.h>

namespace drawerdriver {

int remainingMs(Clock::time_point deadline)
{
    // Rounded up: a wait that ends a fraction early would only wake the
    // thread twice.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::clamp<std::int64_t>(left.count(), 0, 60'000));
}

WaitResult waitFor(int fd, short events, Clock::time_point deadline, int wakeFd)
{
    pollfd watched[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    WaitResult result;
    for (;;) {
        // Negative descriptors are skipped by poll itself.
        const int count = ::poll(watched, 2, remainingMs(deadline));
        if (count >= 0)
            break;
        // A signal: wait again for what remains of the time.
        if (errno != EINTR) {
            result.failed = true;
            return result;
        }
    }
    result.events = watched[0].revents;
    result.woken = (watched[1].revents & POLLIN) != 0;
    return result;
}

} // namespace drawerdriver
