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

OpenResult connectFailure(
    const std::string &name, ConnectError error, const std::string &reason, int timeoutMs)
{
    OpenResult result;
    switch (error) {
    case ConnectError::Refused:
        result.error = name + " refuses connections (is the printer on, and the port right?)";
        // Switched off, or printing with its one slot taken.
        result.failure = OpenFailure::Refused;
        break;
    case ConnectError::TimedOut:
        result.error = "cannot connect to " + name + ": no answer within "
            + std::to_string(timeoutMs) + " ms";
        // A print server with its connection slots taken lets the attempt
        // wait: the printer is busy.
        result.failure = OpenFailure::Busy;
        break;
    case ConnectError::Other:
        result.error = "cannot connect to " + name + ": " + reason;
        result.failure = OpenFailure::Other;
        break;
    }
    return result;
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
