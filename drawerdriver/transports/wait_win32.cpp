#include "transports/wait.h"

#include <windows.h>

namespace drawerdriver {

WakeSignal::WakeSignal()
{
    // Manual reset: it stays raised until the worker has looked.
    m_wait = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

WakeSignal::~WakeSignal()
{
    if (m_wait)
        CloseHandle(m_wait);
}

void WakeSignal::raise()
{
    if (m_wait)
        SetEvent(m_wait);
}

void WakeSignal::clear()
{
    if (m_wait)
        ResetEvent(m_wait);
}

WaitResult WakeSignal::wait(Clock::time_point deadline) const
{
    WaitResult result;
    if (!m_wait) {
        Sleep(DWORD(remainingMs(deadline)));
        return result;
    }
    const DWORD waited = WaitForSingleObject(m_wait, DWORD(remainingMs(deadline)));
    result.woken = waited == WAIT_OBJECT_0;
    result.failed = waited == WAIT_FAILED;
    return result;
}

} // namespace drawerdriver
