// A connection to a drawer's device: a device node (a USB printer, a hidraw
// drawer), a serial port, or a network printer. Every transport is a file
// descriptor the monitor waits on; every wait has a deadline and also wakes
// on the monitor's own wake-up descriptor.
#pragma once

#include "config/config.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/types.h>

namespace drawerdriver {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, rounded up, never negative.
int remainingMs(Clock::time_point deadline);

class Transport {
public:
    virtual ~Transport();
    Transport(const Transport &) = delete;
    Transport &operator=(const Transport &) = delete;

    int fd() const { return m_fd; }
    const std::string &name() const { return m_name; }

    // Whether the device is still there: no hang-up or error reported, and,
    // for a device node, the node still the device that was opened.
    virtual bool isPresent() const;
    // Writes all of bytes by the deadline; false, with error set, otherwise.
    bool writeAll(
        const std::vector<std::uint8_t> &bytes, Clock::time_point deadline, std::string &error);
    // What the device has sent, without waiting: the count read, 0 for
    // nothing, or -1 with error set when the device is gone or failed.
    ssize_t readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error);
    // Drops whatever the device sent before a question.
    virtual void discardInput();
    virtual bool isSerialPort() const { return false; }
    // The level of a modem status line; empty where the device has none.
    virtual std::optional<bool> lineLevel(SensorLine line, std::string &error);

protected:
    Transport(int fd, std::string name);
    // One write as the device takes it.
    virtual ssize_t writeSome(const std::uint8_t *bytes, std::size_t size);

    int m_fd;
    std::string m_name;
};

// A device node: its presence also means that the node still names the
// device that was opened, since a replugged device may come back as another.
class DeviceNode : public Transport {
public:
    DeviceNode(int fd, std::string path);
    bool isPresent() const override;
};

// Why opening failed, for the monitor's bookkeeping and its messages.
enum class OpenFailure { None, Busy, Gone, Other };

struct OpenResult {
    std::unique_ptr<Transport> transport;
    OpenFailure failure = OpenFailure::None;
    std::string error;
};

// Opens a device node non-blocking, without a controlling terminal and
// close-on-exec, for this process alone; a serial port is set up as one.
OpenResult openDeviceNode(const DrawerSettings &settings, bool hold);

// A serial port on an open descriptor: raw 8N1 at the speed, no flow
// control, DTR and RTS up; HUPCL cleared when the port is opened and closed
// for each exchange, so the lines stay up in between.
std::unique_ptr<Transport> makeSerialPort(
    int fd, const DrawerSettings &settings, bool hold, std::string &error);

// Reads the modem status lines (TIOCMGET). Replaceable, since a
// pseudo-terminal has no modem lines: tests drive the drawer switch here.
using ModemLineReader = int (*)(int fd, int *bits);
void setModemLineReader(ModemLineReader reader);

// A network printer's address, resolved on the monitor's thread and kept
// until a connection to it fails.
struct NetworkAddress {
    sockaddr_storage address {};
    socklen_t length = 0;
};

// Resolves the host (empty on failure, with error set).
std::optional<NetworkAddress> resolveNetworkAddress(const Endpoint &endpoint, std::string &error);
// Connects within the time limit, giving up at once when wakeFd (unless -1)
// turns readable.
OpenResult connectNetwork(
    const Endpoint &endpoint, const NetworkAddress &address, int timeoutMs, int wakeFd);

// Which processes hold a device node open, as "1234 (cupsd)", for messages;
// empty where the system does not show it.
std::string deviceHolders(const std::string &path);

} // namespace drawerdriver
