#include "config/devicename_win32.h"
#include "config/text_win32.h"
#include "transports/transport_win32.h"

#include <algorithm>

namespace drawerdriver {

OpenResult openDeviceNode(const DrawerSettings &settings, bool hold)
{
    const std::string &path = settings.endpoint.path;
    if (path.rfind(SpoolerPrefix, 0) == 0)
        return openSpoolerQueue(settings);
    if (path.rfind(UsbPrinterPrefix, 0) == 0)
        return openUsbPrinter(settings);
    if (path.rfind(HidPrefix, 0) == 0)
        return openHidDevice(settings);
    return openComPort(settings, hold);
}

// Windows does not say which process holds a device.
std::string deviceHolders(const std::string &)
{
    return {};
}

OverlappedDevice::OverlappedDevice(
    HANDLE device, std::string name, std::size_t inputReport, std::size_t outputReport)
    : Transport(std::move(name)), m_device(device), m_inputReport(inputReport),
      m_outputReport(outputReport), m_readBuffer(inputReport ? inputReport : 512)
{
    // Manual reset, as overlapped I/O wants them.
    m_read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_read.hEvent || !m_write.hEvent)
        m_gone = true;
    else
        startRead();
}

OverlappedDevice::~OverlappedDevice()
{
    // Nothing may still write into the buffers once they are gone.
    CancelIoEx(m_device, nullptr);
    DWORD ignored = 0;
    if (m_reading)
        GetOverlappedResult(m_device, &m_read, &ignored, TRUE);
    if (m_writing)
        GetOverlappedResult(m_device, &m_write, &ignored, TRUE);
    CloseHandle(m_device);
    for (HANDLE event : {m_read.hEvent, m_write.hEvent})
        if (event)
            CloseHandle(event);
}

void OverlappedDevice::startRead()
{
    if (m_reading || m_gone)
        return;
    ResetEvent(m_read.hEvent);
    DWORD got = 0;
    if (ReadFile(m_device, m_readBuffer.data(), DWORD(m_readBuffer.size()), &got, &m_read)
        || GetLastError() == ERROR_IO_PENDING) {
        m_reading = true; // its end shows on the event either way
        return;
    }
    m_readError = GetLastError();
    m_gone = true;
}

bool OverlappedDevice::collectRead()
{
    if (!m_reading)
        return m_gone;
    DWORD got = 0;
    if (!GetOverlappedResult(m_device, &m_read, &got, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE)
            return false;
        m_reading = false;
        m_readError = GetLastError();
        m_gone = true;
        return true;
    }
    m_reading = false;
    // A report without report IDs starts with a 0 the driver's reports do
    // not have.
    const std::size_t skip = m_inputReport ? 1 : 0;
    // A read that ended empty (a USB printer with nothing to say) is
    // started again after a pause, not spun on.
    if (got > skip) {
        m_received.insert(m_received.end(), m_readBuffer.begin() + std::ptrdiff_t(skip),
            m_readBuffer.begin() + std::ptrdiff_t(got));
        startRead();
    }
    return true;
}

void OverlappedDevice::fail(DWORD code, std::string &error, const char *what)
{
    m_gone = true;
    error = std::string("cannot ") + what + " " + m_name + ": " + systemMessage(code);
}

long OverlappedDevice::readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error)
{
    collectRead();
    if (m_received.empty() && m_gone) {
        fail(m_readError, error, "read from");
        return -1;
    }
    const std::size_t taken = std::min(size, m_received.size());
    std::copy_n(m_received.begin(), taken, buffer);
    m_received.erase(m_received.begin(), m_received.begin() + std::ptrdiff_t(taken));
    startRead(); // a read waits for what comes next
    return long(taken);
}

WaitResult OverlappedDevice::waitReadable(Clock::time_point deadline, const WakeSignal *wake)
{
    WaitResult result;
    const HANDLE handles[2] = {m_read.hEvent, wake ? wake->native() : nullptr};
    const DWORD count = wake && wake->valid() ? 2 : 1;
    for (;;) {
        collectRead();
        if (!m_received.empty() || m_gone) {
            result.events = 1;
            result.hungUp = m_gone;
            return result;
        }
        const int left = remainingMs(deadline);
        if (left == 0)
            return result;
        if (!m_reading) {
            Sleep(DWORD(std::min(left, 10)));
            startRead();
            continue;
        }
        const DWORD waited = WaitForMultipleObjects(count, handles, FALSE, DWORD(left));
        if (waited == WAIT_OBJECT_0 + 1) {
            result.woken = true;
            return result;
        }
        if (waited == WAIT_FAILED) {
            result.failed = true;
            return result;
        }
    }
}

long OverlappedDevice::writeSome(const std::uint8_t *bytes, std::size_t size, std::string &error)
{
    if (m_gone) {
        fail(m_readError, error, "write to");
        return -1;
    }
    if (!m_writing) {
        m_writeBuffer.assign(bytes, bytes + size);
        // A HID report goes out whole, padded to the device's length.
        if (m_outputReport) {
            if (size > m_outputReport) {
                error = "cannot write to " + m_name + ": its reports take "
                    + std::to_string(m_outputReport) + " bytes, not " + std::to_string(size);
                return -1;
            }
            m_writeBuffer.resize(m_outputReport, 0);
        }
        m_writeSize = size;
        ResetEvent(m_write.hEvent);
        DWORD wrote = 0;
        if (!WriteFile(
                m_device, m_writeBuffer.data(), DWORD(m_writeBuffer.size()), &wrote, &m_write)
            && GetLastError() != ERROR_IO_PENDING) {
            fail(GetLastError(), error, "write to");
            return -1;
        }
        m_writing = true;
    }
    DWORD wrote = 0;
    if (!GetOverlappedResult(m_device, &m_write, &wrote, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE)
            return 0;
        m_writing = false;
        fail(GetLastError(), error, "write to");
        return -1;
    }
    m_writing = false;
    if (m_outputReport)
        return wrote == m_writeBuffer.size() ? long(m_writeSize) : 0;
    return long(std::min<std::size_t>(wrote, m_writeSize));
}

WaitResult OverlappedDevice::waitWritable(Clock::time_point deadline)
{
    WaitResult result;
    if (!m_writing) {
        result.events = 1;
        return result;
    }
    if (WaitForSingleObject(m_write.hEvent, DWORD(remainingMs(deadline))) == WAIT_OBJECT_0) {
        result.events = 1;
        return result;
    }
    // Too late: the write is called off, so that it cannot land later as a
    // second kick. The read stays.
    CancelIoEx(m_device, &m_write);
    DWORD ignored = 0;
    GetOverlappedResult(m_device, &m_write, &ignored, TRUE);
    m_writing = false;
    return result;
}

} // namespace drawerdriver
