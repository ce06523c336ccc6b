// Refused Opens in a burst: the first from a caller is recorded at once,
// and the same refusals that follow from that caller for that drawer within
// a window are counted into its row rather than each taking a row of its
// own. A member's thousands of refusals a second thus add a row a second,
// while every caller still gets its answer at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace drawerservice {

class RefusalFolder {
public:
    using Clock = std::chrono::steady_clock;

    // A second: a row a second at most from a caller that keeps trying.
    explicit RefusalFolder(Clock::duration window = std::chrono::seconds(1)) : m_window(window) { }

    // True when the refusal repeats one recorded within the window: it is
    // then counted, and needs no row.
    bool fold(const std::string &key, Clock::time_point now);
    // The row of a refusal just recorded, which repeats of it fold into.
    void recorded(const std::string &key, std::int64_t rowId, Clock::time_point now);

    struct Count {
        std::int64_t rowId = 0;
        std::uint32_t repeats = 0;
    };
    // The counts of the windows that ended by now (of all, with no time),
    // taken out.
    std::vector<Count> takeEnded(std::optional<Clock::time_point> now);
    // When the first window that has repeats ends, if one has.
    std::optional<Clock::time_point> nextEnd() const;

private:
    struct Window {
        std::int64_t rowId = 0;
        Clock::time_point start;
        std::uint32_t repeats = 0;
    };
    const Clock::duration m_window;
    std::map<std::string, Window> m_windows;
};

} // namespace drawerservice
