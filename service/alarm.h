// The left-open alarm of one drawer: once the drawer has been open for
// alarm-after seconds it is due, and again every alarm-after seconds while
// the drawer stays open; closing the drawer ends it. It keeps the drawer's
// one record of when it opened.
#pragma once

#include <chrono>
#include <optional>

namespace drawerservice {

class LeftOpenAlarm {
public:
    using Clock = std::chrono::steady_clock;

    void opened(Clock::time_point when);
    void closed();
    // How long the drawer has been open, when an alarm is due now (and
    // then the next one is due alarmAfter later); alarmAfter 0 is off.
    std::optional<std::chrono::seconds> due(Clock::time_point now, std::chrono::seconds alarmAfter);
    // When the drawer opened; none while it is closed.
    std::optional<Clock::time_point> openedAt() const { return m_openedAt; }
    // Whether an alarm has sounded since the drawer opened: it sounds on
    // until the drawer is closed.
    bool sounded() const { return m_alarms > 0; }

private:
    std::optional<Clock::time_point> m_openedAt;
    int m_alarms = 0;
};

} // namespace drawerservice
