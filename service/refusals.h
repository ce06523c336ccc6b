// Refused Opens in a burst: the first of a caller is recorded at once, and
// the same refusals that follow within a window of it are counted into its
// row rather than each taking a row of its own. A caller is its account
// (and, for the web bridge, the token it names), never its process or
// connection, which an account may have as many of as it likes: an
// account's thousands of refusals a second thus add a row a second per
// drawer and refusal, while every call still gets its answer at once. The
// window starts with the recorded refusal and never stretches, however
// many follow. Times come from the caller, so that tests can set them.
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
    // The row of a refusal just recorded (the history writer's ticket for
    // it), which repeats of it fold into.
    void recorded(const std::string &key, std::uint64_t ticket, Clock::time_point now);

    struct Count {
        std::uint64_t ticket = 0;
        std::uint32_t repeats = 0;
    };
    // The windows that ended by now (all, with no time), taken out, with
    // their repeats (0 for a window that had none).
    std::vector<Count> takeEnded(std::optional<Clock::time_point> now);
    // When the first window that has repeats ends, if one has.
    std::optional<Clock::time_point> nextEnd() const;

private:
    struct Window {
        std::uint64_t ticket = 0;
        Clock::time_point start;
        std::uint32_t repeats = 0;
    };
    const Clock::duration m_window;
    std::map<std::string, Window> m_windows;
};

} // namespace drawerservice
