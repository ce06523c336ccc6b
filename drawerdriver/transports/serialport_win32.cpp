#include "transports/serialport_win32.h"
#include "config/text_win32.h"

#include <algorithm>
#include <atomic>

namespace drawerdriver {

namespace {

// How long one read waits for a first byte: how late a wait may notice its
// wake-up or its deadline.
constexpr DWORD ReadSliceMs = 20;
// How long one write may wait for the port to take its bytes.
constexpr DWORD WriteLimitMs = 50;

bool readModemStatus(HANDLE port, DWORD *bits)
{
    return GetCommModemStatus(port, bits) != 0;
}

std::atomic<ModemStatusReader> modemStatusReader {readModemStatus};

DWORD lineBit(SensorLine line)
{
    switch (line) {
    case SensorLine::Ri:
        return MS_RING_ON;
    case SensorLine::Cts:
        return MS_CTS_ON;
    case SensorLine::Dsr:
        return MS_DSR_ON;
    case SensorLine::Dcd:
        return MS_RLSD_ON;
    case SensorLine::None:
        break;
    }
    return 0;
}

bool setUp(HANDLE port, int speed, std::string &error)
{
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        error = systemMessage(GetLastError());
        return false;
    }
    setUpDcb(dcb, speed);
    if (!SetCommState(port, &dcb)) {
        error = systemMessage(GetLastError());
        return false;
    }
    // A read returns at once with what has arrived, else waits one slice
    // for a first byte.
    COMMTIMEOUTS timeouts {MAXDWORD, MAXDWORD, ReadSliceMs, 0, WriteLimitMs};
    if (!SetCommTimeouts(port, &timeouts)) {
        error = systemMessage(GetLastError());
        return false;
    }
    return true;
}

} // namespace

// Raw 8N1 at the speed, no flow control, and DTR and RTS up for as long as
// the port is open: set through the DCB, since EscapeCommFunction fails on
// some USB serial ports (and on Wine's pseudo-terminals), where this works.
void setUpDcb(DCB &dcb, int speed)
{
    dcb.BaudRate = DWORD(speed);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
}

void setModemStatusReader(ModemStatusReader reader)
{
    modemStatusReader = reader ? reader : readModemStatus;
}

CommPort::CommPort(HANDLE port, std::string name) : Transport(std::move(name)), m_port(port) { }

CommPort::~CommPort()
{
    CloseHandle(m_port);
}

long CommPort::queued() const
{
    DWORD errors = 0;
    COMSTAT status {};
    if (m_gone || !ClearCommError(m_port, &errors, &status))
        return -1;
    return long(m_pending.size() + status.cbInQue);
}

bool CommPort::isPresent() const
{
    return queued() >= 0;
}

long CommPort::readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error)
{
    if (!m_pending.empty()) {
        const std::size_t taken = std::min(size, m_pending.size());
        std::copy_n(m_pending.begin(), taken, buffer);
        m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(taken));
        return long(taken);
    }
    const long waiting = queued();
    if (waiting < 0) {
        error = m_name + " is gone: " + systemMessage(GetLastError());
        return -1;
    }
    if (waiting == 0)
        return 0;
    // Bytes are there: the read returns at once.
    DWORD got = 0;
    if (!ReadFile(m_port, buffer, DWORD(std::min<std::size_t>(size, std::size_t(waiting))), &got,
            nullptr)) {
        m_gone = true;
        error = "cannot read from " + m_name + ": " + systemMessage(GetLastError());
        return -1;
    }
    return long(got);
}

WaitResult CommPort::waitReadable(Clock::time_point deadline, const WakeSignal *wake)
{
    WaitResult result;
    for (;;) {
        const long waiting = queued();
        if (waiting != 0) {
            result.events = 1;
            result.hungUp = waiting < 0;
            return result;
        }
        if (wake && wake->valid() && WaitForSingleObject(wake->native(), 0) == WAIT_OBJECT_0) {
            result.woken = true;
            return result;
        }
        if (remainingMs(deadline) == 0)
            return result;
        // One slice: returns with the first bytes, or empty after it.
        std::uint8_t buffer[512];
        DWORD got = 0;
        if (!ReadFile(m_port, buffer, sizeof buffer, &got, nullptr)) {
            m_gone = true;
            continue;
        }
        m_pending.insert(m_pending.end(), buffer, buffer + got);
    }
}

void CommPort::discardInput()
{
    PurgeComm(m_port, PURGE_RXCLEAR);
    m_pending.clear();
    Transport::discardInput(); // what the purge could not catch
}

long CommPort::writeSome(const std::uint8_t *bytes, std::size_t size, std::string &error)
{
    DWORD wrote = 0;
    if (!WriteFile(m_port, bytes, DWORD(size), &wrote, nullptr)) {
        m_gone = true;
        error = "cannot write to " + m_name + ": " + systemMessage(GetLastError());
        return -1;
    }
    return long(wrote);
}

// A port that took nothing within its write limit is tried again until the
// deadline.
WaitResult CommPort::waitWritable(Clock::time_point deadline)
{
    WaitResult result;
    result.events = remainingMs(deadline) > 0 ? 1 : 0;
    result.hungUp = !isPresent();
    return result;
}

std::optional<bool> CommPort::lineLevel(SensorLine line, std::string &error)
{
    DWORD bits = 0;
    if (!modemStatusReader.load()(m_port, &bits)) {
        // Some ports (Wine's pseudo-terminals) fail without saying why.
        const DWORD code = GetLastError();
        error = "cannot read the modem lines of " + m_name + ": "
            + (code ? systemMessage(code) : "the port does not report them");
        return std::nullopt;
    }
    return (bits & lineBit(line)) != 0;
}

OpenResult openComPort(const DrawerSettings &settings, bool)
{
    OpenResult result;
    const std::string &name = settings.endpoint.path;
    // Exclusive by the system: a second opener gets access denied.
    const HANDLE port = CreateFileW(widen("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE,
        0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        result.error = "cannot open " + name + ": " + systemMessage(code);
        result.failure = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
            ? OpenFailure::Busy
            : code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? OpenFailure::Gone
                                                                           : OpenFailure::Other;
        if (result.failure == OpenFailure::Busy)
            result.error = "cannot open " + name + ": another program holds it";
        return result;
    }
    std::string problem;
    if (!setUp(port, settings.speed, problem)) {
        CloseHandle(port);
        result.error = "cannot set up " + name + ": " + problem;
        result.failure = OpenFailure::Other;
        return result;
    }
    result.transport = std::make_unique<CommPort>(port, name);
    return result;
}

} // namespace drawerdriver
