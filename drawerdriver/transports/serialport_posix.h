// POSIX serial ports: a terminal device node.
#pragma once

#include "transports/serialport.h"
#include "transports/transport_posix.h"

namespace drawerdriver {

class PosixSerialPort : public DeviceNode, public SerialPort {
public:
    using DeviceNode::DeviceNode;

    SerialPort *serialPort() override { return this; }
    void discardInput() override;
    std::optional<bool> lineLevel(SensorLine line, std::string &error) override;
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
