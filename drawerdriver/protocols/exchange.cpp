#include "protocols/exchange.h"

#include <poll.h>

namespace drawerdriver {

namespace {
// No more than this is read in one exchange: a flooding device gets no more
// of our time, and nothing grows.
constexpr std::size_t MostBytesPerExchange = 64 * 1024;
constexpr std::size_t RawBytesKept = 32;
} // namespace

StatusAnswer askStatus(Transport &transport, DeviceProtocol &protocol, Clock::time_point deadline)
{
    StatusAnswer answer;
    protocol.expectAnswer();
    if (!transport.writeAll(protocol.statusRequest(), deadline, answer.error)) {
        protocol.endExchange();
        return answer;
    }
    std::vector<std::uint8_t> buffer(protocol.readSize());
    std::vector<bool> levels;
    for (std::size_t total = 0; !protocol.answered() && total < MostBytesPerExchange;) {
        pollfd ready {transport.fd(), POLLIN, 0};
        const int left = remainingMs(deadline);
        if (left == 0 || ::poll(&ready, 1, left) <= 0)
            break;
        const ssize_t got = transport.readAvailable(buffer.data(), buffer.size(), answer.error);
        if (got < 0) {
            protocol.endExchange();
            return answer;
        }
        total += std::size_t(got);
        const std::size_t keep
            = std::min(std::size_t(got), RawBytesKept - std::min(RawBytesKept, answer.raw.size()));
        answer.raw.insert(answer.raw.end(), buffer.begin(), buffer.begin() + std::ptrdiff_t(keep));
        protocol.consume(buffer.data(), std::size_t(got), levels);
    }
    protocol.endExchange();
    if (protocol.noisy()) {
        answer.error = transport.name() + " sends bytes that are not a status answer";
        return answer;
    }
    if (!protocol.answered() || levels.empty()) {
        answer.error = transport.name() + " does not answer status requests";
        return answer;
    }
    answer.answered = true;
    answer.level = levels.back();
    return answer;
}

} // namespace drawerdriver
