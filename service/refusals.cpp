#include "refusals.h"

#include "drawerservice.h"
#include "metrics.h"

namespace drawerservice {

bool RefusalFolder::fold(const std::string &key, Clock::time_point now)
{
    const auto found = m_windows.find(key);
    if (found == m_windows.end() || now - found->second.start >= m_window)
        return false;
    ++found->second.repeats;
    return true;
}

void RefusalFolder::recorded(const std::string &key, std::int64_t rowId, Clock::time_point now)
{
    m_windows[key] = Window {rowId, now, 0};
}

std::vector<RefusalFolder::Count> RefusalFolder::takeEnded(std::optional<Clock::time_point> now)
{
    std::vector<Count> counts;
    for (auto window = m_windows.begin(); window != m_windows.end();) {
        if (now && *now - window->second.start < m_window) {
            ++window;
            continue;
        }
        if (window->second.repeats > 0)
            counts.push_back({window->second.rowId, window->second.repeats});
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

void DrawerService::recordRefusal(const Event &event, const char *refusal, const char *sender)
{
    const auto now = RefusalFolder::Clock::now();
    writeFoldedRefusals(now);
    // The caller is its process where the bus tells it, else its connection.
    const std::string key = std::to_string(event.uid.value_or(-1)) + ' '
        + (event.pid ? std::to_string(*event.pid) : std::string(sender ? sender : "")) + ' '
        + std::to_string(event.drawer) + ' ' + refusal;
    if (m_refusals.fold(key, now)) {
        if (m_metrics) // the metrics count every refusal, folded or not
            m_metrics->count(event);
        writeFoldedRefusals(now); // arms the timer
        return;
    }
    std::int64_t id = 0;
    record(event, &id);
    if (id > 0)
        m_refusals.recorded(key, id, now);
}

void DrawerService::writeFoldedRefusals(std::optional<RefusalFolder::Clock::time_point> now)
{
    for (const RefusalFolder::Count &count : m_refusals.takeEnded(now))
        if (m_history)
            m_history->addRepeats(count.rowId, count.repeats);
    const auto end = m_refusals.nextEnd();
    if (!end || !now) {
        if (m_foldTimer)
            sd_event_source_set_enabled(m_foldTimer, SD_EVENT_OFF);
        return;
    }
    // steady_clock is CLOCK_MONOTONIC, the timer's clock.
    const auto atUs = std::uint64_t(
        std::chrono::duration_cast<std::chrono::microseconds>(end->time_since_epoch()).count());
    if (!m_foldTimer) {
        sd_event_add_time(
            m_event, m_foldTimer.out(), CLOCK_MONOTONIC, atUs, 10'000, onFoldTimer, this);
        return;
    }
    sd_event_source_set_time(m_foldTimer, atUs);
    sd_event_source_set_enabled(m_foldTimer, SD_EVENT_ONESHOT);
}

int DrawerService::onFoldTimer(sd_event_source *, std::uint64_t, void *userdata)
{
    static_cast<DrawerService *>(userdata)->writeFoldedRefusals(RefusalFolder::Clock::now());
    return 0;
}

} // namespace drawerservice
