// Serial ports: what only they have, the modem status lines and a flush of
// what the port received.
#pragma once

#include "transports/transport.h"

namespace drawerdriver {

class SerialPort : public DeviceNode {
public:
    using DeviceNode::DeviceNode;

    SerialPort *serialPort() override { return this; }
    void discardInput() override;
    // The level of a modem status line; empty, with error set, on failure.
    std::optional<bool> lineLevel(SensorLine line, std::string &error);
};

// A serial port on an open descriptor: raw 8N1 at the speed, no flow
// control, DTR and RTS up; HUPCL cleared when the port is opened and closed
// for each exchange, so the lines stay up in between.
std::unique_ptr<Transport> makeSerialPort(
    int fd, const DrawerSettings &settings, bool hold, std::string &error);

// Reads the modem status lines (TIOCMGET). Replaceable, since a
// pseudo-terminal has no modem lines: tests drive the drawer switch here.
using ModemLineReader = int (*)(int fd, int *bits);
void setModemLineReader(ModemLineReader reader);

} // namespace drawerdriver
