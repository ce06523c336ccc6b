// COM ports on Windows: \\.\COMn, set up through its DCB, read in short
// slices so that every wait stays bounded and can be woken.
#pragma once

#include "transports/serialport.h"
#include "transports/transport_win32.h"

namespace drawerdriver {

class CommPort : public Transport, public SerialPort {
public:
    CommPort(HANDLE port, std::string name);
    ~CommPort() override;

    SerialPort *serialPort() override { return this; }
    bool isPresent() const override;
    long readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error) override;
    WaitResult waitReadable(Clock::time_point deadline, const WakeSignal *wake = nullptr) override;
    void discardInput() override;
    std::optional<bool> lineLevel(SensorLine line, std::string &error) override;

protected:
    long writeSome(const std::uint8_t *bytes, std::size_t size, std::string &error) override;
    WaitResult waitWritable(Clock::time_point deadline) override;

private:
    // What the port has received and not yet handed out, or -1 when it has gone.
    long queued() const;

    HANDLE m_port;
    std::vector<std::uint8_t> m_pending; // read while waiting, not yet taken
    bool m_gone = false;
};

// Reads the modem status lines (GetCommModemStatus: MS_CTS_ON, MS_DSR_ON,
// MS_RING_ON, MS_RLSD_ON). Replaceable, since a pseudo-terminal under Wine
// has no modem lines: tests drive the drawer switch here.
using ModemStatusReader = bool (*)(HANDLE port, DWORD *bits);
void setModemStatusReader(ModemStatusReader reader);

// Fills in the port's settings: raw 8N1 at the speed, no flow control, DTR
// and RTS up (some drawers draw their power from them).
void setUpDcb(DCB &dcb, int speed);

} // namespace drawerdriver
