#include "protocols/exchange.h"

#include <algorithm>

namespace drawerdriver {

namespace {
// No more than this is read in one exchange: a flooding device gets no more
// of our time, and nothing grows.
constexpr std::size_t MostBytesPerExchange = 64 * 1024;
constexpr std::size_t RawBytesKept = 32;

void keepRaw(std::vector<std::uint8_t> &raw, const std::uint8_t *data, std::size_t size)
{
    const std::size_t keep = std::min(size, RawBytesKept - std::min(RawBytesKept, raw.size()));
    raw.insert(raw.end(), data, data + keep);
}
} // namespace

StatusAnswer askStatus(Transport &transport, StatusReader &reader, DeviceProtocol &protocol,
    Clock::time_point deadline)
{
    StatusAnswer answer;
    reader.ask(deadline);
    if (!transport.writeAll(protocol.statusRequest(), deadline, answer.error)) {
        reader.endExchange();
        return answer;
    }
    std::vector<std::uint8_t> buffer(protocol.readSize());
    bool noisy = false;
    for (std::size_t total = 0; !answer.answered && total < MostBytesPerExchange;) {
        const bool waitedInTime = Clock::now() <= deadline;
        if (!transport.waitReadable(deadline).ready())
            break;
        // Bytes that a wait begun in time found were there by its deadline,
        // however late this thread got the processor back to read them.
        const auto now = Clock::now();
        const auto receivedBy = waitedInTime ? std::min(now, deadline) : now;
        const long got = transport.readAvailable(buffer.data(), buffer.size(), answer.error);
        if (got < 0) {
            reader.endExchange();
            return answer;
        }
        total += std::size_t(got);
        keepRaw(answer.raw, buffer.data(), std::size_t(got));
        const Reading reading = reader.take(buffer.data(), std::size_t(got), receivedBy);
        noisy |= reading.noise;
        if (reading.answer) {
            answer.answered = true;
            answer.level = reading.answer;
        }
        if (!reading.pushed.empty()) {
            answer.pushed = reading.pushed.back();
            if (answer.answered)
                answer.level = answer.pushed;
        }
    }
    reader.endExchange();
    if (noisy) {
        answer.answered = false;
        answer.error = transport.name() + " sends bytes that are not a status answer";
    } else if (!answer.answered) {
        answer.error = transport.name() + " does not answer status requests";
    }
    return answer;
}

StatusAnswer askStatus(Transport &transport, DeviceProtocol &protocol, Clock::time_point deadline)
{
    StatusReader reader(protocol);
    return askStatus(transport, reader, protocol, deadline);
}

} // namespace drawerdriver
