// Serial ports: what only they have, the modem status lines a trigger box
// reports its drawer switch on. Each platform's ports are in the files
// named _posix and _win32 beside this one.
#pragma once

#include "config/config.h"

#include <optional>
#include <string>

namespace drawerdriver {

class SerialPort {
public:
    virtual ~SerialPort() = default;
    // The level of a modem status line; empty, with error set, on failure.
    virtual std::optional<bool> lineLevel(SensorLine line, std::string &error) = 0;
};

} // namespace drawerdriver

#if defined(_WIN32)
#include "transports/serialport_win32.h"
#else
#include "transports/serialport_posix.h"
#endif
