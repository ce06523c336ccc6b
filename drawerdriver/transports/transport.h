// A connection to a drawer's device: a device node (a USB printer, a hidraw
// drawer), a serial port, or a network printer on POSIX; a COM port, a
// socket, a spooler queue, a USB printer or a HID device on Windows. Every
// wait on it has a deadline. Each platform's transports are in the files
// named _posix and _win32 beside this one.
#pragma once

#include "config/config.h"
#include "transports/wait.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#include <sys/types.h>
#endif

namespace drawerdriver {

class SerialPort;

class Transport {
public:
    virtual ~Transport();
    Transport(const Transport &) = delete;
    Transport &operator=(const Transport &) = delete;

    const std::string &name() const { return m_name; }

    // Whether the device is still there: no hang-up or error reported, and,
    // for a device node, the node still the device that was opened.
    virtual bool isPresent() const = 0;
    // Writes all of bytes by the deadline; false, with error set, otherwise.
    // written (if given) counts what the device took, all or part.
    bool writeAll(const std::vector<std::uint8_t> &bytes, Clock::time_point deadline,
        std::string &error, std::size_t *written = nullptr);
    // What the device has sent, without waiting: the count read, 0 for
    // nothing, or -1 with error set when the device is gone or failed.
    virtual long readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error) = 0;
    // Waits until the device has something to read (or hangs up), the wake
    // signal (if given) is raised, or the deadline passes.
    virtual WaitResult waitReadable(Clock::time_point deadline, const WakeSignal *wake = nullptr)
        = 0;
    // One write without waiting, for a print job written between questions:
    // the count taken, 0 when the device takes nothing now, or -1 with
    // error set when it failed.
    long writeAvailable(const std::uint8_t *bytes, std::size_t size, std::string &error)
    {
        return writeSome(bytes, size, error);
    }
    // Bytes written that the device has not taken yet (a network printer's
    // unacknowledged ones, a serial port's output queue); 0 where unknown.
    virtual std::size_t unsentBytes() const { return 0; }
    // Waits until the device has something to read (or hangs up), or, with
    // writable, takes more; or the wake signal is raised, or the deadline
    // passes. Without a joint wait of its own a transport counts as
    // writable at once: its writes are bounded by themselves.
    virtual WaitResult waitReadyForJob(
        Clock::time_point deadline, bool writable, const WakeSignal *wake = nullptr);
    // Drops whatever the device sent before a question.
    virtual void discardInput();
    // The serial port this is, if it is one.
    virtual SerialPort *serialPort() { return nullptr; }

protected:
    explicit Transport(std::string name) : m_name(std::move(name)) { }
    // One write as the device takes it: the count taken, 0 when it takes
    // nothing now, or -1 with error set when it failed.
    virtual long writeSome(const std::uint8_t *bytes, std::size_t size, std::string &error) = 0;
    // Waits until the device takes more, or the deadline passes.
    virtual WaitResult waitWritable(Clock::time_point deadline) = 0;

    std::string m_name;
};

// Why opening failed, for the monitor's bookkeeping and its messages.
enum class OpenFailure { None, Busy, Gone, Refused, Other };

struct OpenResult {
    std::unique_ptr<Transport> transport;
    OpenFailure failure = OpenFailure::None;
    std::string error;
};

// Opens a drawer's local device (not a network printer), for this process
// alone: on POSIX a device node, non-blocking, without a controlling
// terminal and close-on-exec, a serial port set up as one; on Windows the
// COM port, spooler queue, USB printer or HID device its name says.
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
// wake (unless NoWake) is raised.
OpenResult connectNetwork(const Endpoint &endpoint, const NetworkAddress &address, int timeoutMs,
    NativeWake wake = NoWake);

// How a connection to a network printer failed, as both platforms' words
// for it come down to.
enum class ConnectError { Refused, TimedOut, Other };
// The failure's result: its message (reason: the system's own words) and
// what it means for the monitor.
OpenResult connectFailure(
    const std::string &name, ConnectError error, const std::string &reason, int timeoutMs);

// Which processes hold a device open, as "1234 (cupsd)", for messages;
// empty where the system does not show it.
std::string deviceHolders(const std::string &path);

#if !defined(_WIN32)
// In a child after fork: closes the copies of the parent's device
// descriptors, whose transports belong to threads the child does not have.
void closeInheritedDevices();
#endif

} // namespace drawerdriver
