#include "monitor/health.h"

#include "config/report.h"
#include "monitor/monitor.h"

#include <algorithm>

namespace drawerdriver {

DeviceHealth::DeviceHealth(std::string subject, std::string holderPath)
    : m_subject(std::move(subject)), m_holderPath(std::move(holderPath))
{
}

void DeviceHealth::answered()
{
    m_busySince.reset();
    m_backoff = std::chrono::milliseconds(0);
    reportProblem(m_subject, {});
    if (m_problemTold)
        reportProblem(m_subject + " again", m_subject + " answers again");
    m_problemTold = false;
}

void DeviceHealth::failed(OpenFailure failure, const std::string &error)
{
    m_backoff = std::clamp(m_backoff * 2, std::chrono::milliseconds(200), LongestBackoff);
    if (failure != OpenFailure::Busy && failure != OpenFailure::Refused) {
        m_busySince.reset();
        tell(error);
        return;
    }
    const auto now = Clock::now();
    if (!m_busySince) {
        m_busySince = now;
        m_busyTold = false;
    }
    if (m_busyTold || now - *m_busySince < BusyGrace)
        return;
    m_busyTold = true;
    const std::string holders = m_holderPath.empty() ? std::string() : deviceHolders(m_holderPath);
    const std::string seconds
        = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(BusyGrace).count());
    tell(error + (failure == OpenFailure::Busy ? ", busy for " : ", for ") + seconds + " s"
        + (holders.empty() ? std::string() : "; held by process " + holders));
}

void DeviceHealth::tell(const std::string &problem)
{
    reportProblem(m_subject, problem);
    reportProblem(m_subject + " again", {});
    m_problemTold = true;
}

} // namespace drawerdriver
