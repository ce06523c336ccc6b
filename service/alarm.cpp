#include "alarm.h"

namespace drawerservice {

void LeftOpenAlarm::opened(Clock::time_point when)
{
    m_openedAt = when;
    m_alarms = 0;
}

void LeftOpenAlarm::closed()
{
    m_openedAt.reset();
    m_alarms = 0;
}

std::optional<LeftOpenAlarm::Clock::time_point> LeftOpenAlarm::nextDue(
    std::chrono::seconds alarmAfter) const
{
    if (!m_openedAt || alarmAfter.count() <= 0)
        return std::nullopt;
    return *m_openedAt + alarmAfter * (m_alarms + 1);
}

std::optional<std::chrono::seconds> LeftOpenAlarm::due(
    Clock::time_point now, std::chrono::seconds alarmAfter)
{
    if (!m_openedAt || alarmAfter.count() <= 0)
        return std::nullopt;
    // The next alarm counts from the opening, so that checks at any
    // cadence never let the repeats drift.
    const auto open = std::chrono::duration_cast<std::chrono::seconds>(now - *m_openedAt);
    if (open < alarmAfter * (m_alarms + 1))
        return std::nullopt;
    m_alarms = int(open / alarmAfter);
    return open;
}

} // namespace drawerservice
