#include "transports/wait.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace drawerdriver {

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
    result.hungUp = (result.events & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    result.woken = (watched[1].revents & POLLIN) != 0;
    return result;
}

WakeSignal::WakeSignal()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_wait = ends[0];
    m_raise = ends[1];
}

WakeSignal::~WakeSignal()
{
    for (int fd : {m_wait, m_raise})
        if (fd >= 0)
            ::close(fd);
}

void WakeSignal::raise()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(m_raise, &byte, 1);
}

void WakeSignal::clear()
{
    char drained[64];
    while (::read(m_wait, drained, sizeof drained) > 0) { }
}

WaitResult WakeSignal::wait(Clock::time_point deadline) const
{
    return waitFor(-1, 0, deadline, m_wait);
}

} // namespace drawerdriver
