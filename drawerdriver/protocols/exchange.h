// One status question to a device and its answer, within a deadline: what
// the monitor does at every poll, and the setup tool when it probes.
#pragma once

#include "protocols/statusreader.h"
#include "transports/transport.h"

#include <optional>
#include <string>
#include <vector>

namespace drawerdriver {

struct StatusAnswer {
    bool answered = false;
    // The sensor level: the answer's, or a status pushed after it.
    std::optional<bool> level;
    // The last status the device pushed during the exchange, answered or not.
    std::optional<bool> pushed;
    // The bytes received, the first ones only, to show.
    std::vector<std::uint8_t> raw;
    std::string error;
};

// Sends the protocol's status request and reads until its answer, the
// deadline, or the device failing; the reader judges every byte. The
// caller drops stale input first.
StatusAnswer askStatus(Transport &transport, StatusReader &reader, DeviceProtocol &protocol,
    Clock::time_point deadline);
// The same with a reader of its own, for a device asked once.
StatusAnswer askStatus(Transport &transport, DeviceProtocol &protocol, Clock::time_point deadline);

} // namespace drawerdriver
