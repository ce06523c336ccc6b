#include "refusals.h"

namespace drawerservice {

bool RefusalFolder::fold(const std::string &key, Clock::time_point now)
{
    const auto found = m_windows.find(key);
    if (found == m_windows.end() || now - found->second.start >= m_window)
        return false;
    if (found->second.repeats < UINT32_MAX)
        ++found->second.repeats;
    return true;
}

void RefusalFolder::recorded(const std::string &key, std::uint64_t ticket, Clock::time_point now)
{
    m_windows[key] = Window {ticket, now, 0};
}

std::vector<RefusalFolder::Count> RefusalFolder::takeEnded(std::optional<Clock::time_point> now)
{
    std::vector<Count> counts;
    for (auto window = m_windows.begin(); window != m_windows.end();) {
        if (now && *now - window->second.start < m_window) {
            ++window;
            continue;
        }
        counts.push_back({window->second.ticket, window->second.repeats});
        window = m_windows.erase(window);
    }
    return counts;
}

std::optional<RefusalFolder::Clock::time_point> RefusalFolder::nextEnd() const
{
    std::optional<Clock::time_point> first;
    for (const auto &[key, window] : m_windows)
        if (window.repeats > 0 && (!first || window.start + m_window < *first))
            first = window.start + m_window;
    return first;
}

} // namespace drawerservice
