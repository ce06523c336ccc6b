// The one rule for what a device says, shared by every protocol, the
// monitor and the setup tool: a status counts only as the answer to the
// question still awaited, inside that question's deadline, or as a status
// the protocol defines as pushed by the device. Anything else is late or
// noise, and is never taken for the drawer's state.
#pragma once

#include "protocols/protocol.h"
#include "transports/wait.h"

#include <optional>
#include <vector>

namespace drawerdriver {

// What one read of a device's bytes came to.
struct Reading {
    std::optional<bool> answer; // the awaited question's answer
    std::vector<bool> pushed; // statuses the device pushed, in order
    int late = 0; // statuses that answered no awaited question
    bool noise = false; // bytes that are no frame of the protocol
};

class StatusReader {
public:
    explicit StatusReader(DeviceProtocol &protocol) : m_protocol(protocol) { }

    // A question has just been sent: its answer counts until the deadline.
    void ask(Clock::time_point deadline);
    // The exchange is over: from now on no status answers anything.
    void endExchange() { m_awaiting = false; }
    bool awaiting() const { return m_awaiting; }

    // Judges the bytes of one read, received at `now`. Statuses amid noise
    // may be chance patterns in garbage: they do not count.
    Reading take(const std::uint8_t *data, std::size_t size, Clock::time_point now);

private:
    DeviceProtocol &m_protocol;
    bool m_awaiting = false;
    Clock::time_point m_deadline {};
    std::vector<Frame> m_frames;
};

} // namespace drawerdriver
