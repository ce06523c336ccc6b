#include "transports/wait.h"

#include <algorithm>
#include <cstdint>

namespace drawerdriver {

int remainingMs(Clock::time_point deadline)
{
    // Rounded up: a wait that ends a fraction early would only wake the
    // thread twice.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::clamp<std::int64_t>(left.count(), 0, 60'000));
}

} // namespace drawerdriver
