// A connection to a drawer's device: a device node (a USB printer, a hidraw
// drawer), a serial port, or a network printer. Every transport is a file
// descriptor the monitor waits on; every wait has a deadline.
#pragma once

#include "config/config.h"
#include "transports/wait.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/types.h>

namespace drawerdriver {

class SerialPort;

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
    // written (if given) counts what the device took, all or part.
    bool writeAll(const std::vector<std::uint8_t> &bytes, Clock::time_point deadline,
        std::string &error, std::size_t *written = nullptr);
    // Writes what the device takes now, without waiting: the count written,
    // 0 when it takes nothing yet, or -1 with error set when it failed.
    ssize_t writeAvailable(const std::uint8_t *bytes, std::size_t size, std::string &error);
    // Bytes written that the device has not taken yet (a network printer's
    // unacknowledged ones, a serial port's output queue); 0 where unknown.
    std::size_t unsentBytes() const;
    // What the device has sent, without waiting: the count read, 0 for
    // nothing, or -1 with error set when the device is gone or failed.
    ssize_t readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error);
    // Drops whatever the device sent before a question.
    virtual void discardInput();
    // The serial port this is, if it is one.
    virtual SerialPort *serialPort() { return nullptr; }

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
enum class OpenFailure { None, Busy, Gone, Refused, Other };

struct OpenResult {
    std::unique_ptr<Transport> transport;
    OpenFailure failure = OpenFailure::None;
    std::string error;
};

// Opens a device node non-blocking, without a controlling terminal and
// close-on-exec, for this process alone; a serial port is set up as one.
OpenResult openDeviceNode(const DrawerSettings &settings, bool hold);

// A network printer's addresses, looked up on the monitor's thread and kept
// until the name or its section changes.
struct NetworkAddress {
    sockaddr_storage address {};
    socklen_t length = 0;
};

// Looks up every address of the host (empty on failure, with error set).
std::vector<NetworkAddress> resolveNetworkAddresses(const Endpoint &endpoint, std::string &error);
// Connects to one address within the time limit, giving up at once when
// wakeFd (unless -1) turns readable.
OpenResult connectNetwork(
    const Endpoint &endpoint, const NetworkAddress &address, int timeoutMs, int wakeFd);

// In a child after fork: closes the copies of the parent's device
// descriptors, whose transports belong to threads the child does not have.
void closeInheritedDevices();

// Which processes hold a device node open, as "1234 (cupsd)", for messages;
// empty where the system does not show it.
std::string deviceHolders(const std::string &path);

} // namespace drawerdriver
