#include "transports/transport.h"

namespace drawerdriver {

Transport::~Transport() = default;

bool Transport::writeAll(const std::vector<std::uint8_t> &bytes, Clock::time_point deadline,
    std::string &error, std::size_t *written)
{
    std::size_t ignored = 0;
    std::size_t &done = written ? *written : ignored;
    done = 0;
    while (done < bytes.size()) {
        const long wrote = writeSome(bytes.data() + done, bytes.size() - done, error);
        if (wrote > 0) {
            done += std::size_t(wrote);
            continue;
        }
        if (wrote < 0)
            return false;
        const WaitResult ready = waitWritable(deadline);
        if (!ready.ready()) {
            error = m_name + " takes no data (it may be off line, or busy printing)";
            return false;
        }
        if (ready.hungUp) {
            error = m_name + " hung up";
            return false;
        }
    }
    return true;
}

WaitResult Transport::waitReadyForJob(
    Clock::time_point deadline, bool writable, const WakeSignal *wake)
{
    if (!writable)
        return waitReadable(deadline, wake);
    WaitResult now;
    now.events = 1;
    return now;
}

void Transport::discardInput()
{
    std::uint8_t stale[512];
    std::string ignored;
    for (int round = 0; round < 8 && readAvailable(stale, sizeof stale, ignored) > 0; ++round) { }
}

} // namespace drawerdriver
