#include "monitor/connection.h"

#include "monitor/monitor.h"
#include "transports/serialport.h"

#include <algorithm>

namespace drawerdriver {

DeviceConnection::DeviceConnection(const DrawerSettings &device, bool watchSensor)
    : m_device(device), m_watchSensor(watchSensor)
{
}

bool DeviceConnection::needsLookup() const
{
    return m_device.endpoint.isNetwork() && m_addresses.empty();
}

bool DeviceConnection::lookUp(std::string &error)
{
    m_addresses = resolveNetworkAddresses(m_device.endpoint, error);
    m_lastGoodAddress = 0;
    return !m_addresses.empty();
}

bool DeviceConnection::open(Clock::time_point deadline, OpenFailure &failure, std::string &error)
{
    if (m_device.endpoint.isNetwork()) {
        if (!connectNetwork(deadline, failure, error))
            return false;
    } else {
        // Only a serial port takes the hold, and it holds unless told not
        // to: known before the first opening, so that the first one already
        // leaves HUPCL as the hold wants it.
        OpenResult result = openDeviceNode(m_device, m_device.hold.value_or(true));
        if (!result.transport) {
            failure = result.failure;
            error = result.error;
            return false;
        }
        m_transport = std::move(result.transport);
    }
    decideHold();
    if (!held())
        return true;
    if (const auto bytes = m_protocol->holdStart();
        !bytes.empty() && !m_transport->writeAll(bytes, deadline, error)) {
        m_transport.reset();
        failure = OpenFailure::Other;
        return false;
    }
    return true;
}

// Every address in turn, from the last one that worked, each within what
// is left of the exchange: a name such as localhost may stand for an IPv6
// and an IPv4 address, of which the printer listens on one.
bool DeviceConnection::connectNetwork(
    Clock::time_point deadline, OpenFailure &failure, std::string &error)
{
    failure = OpenFailure::Busy;
    error = "no time was left to connect to " + m_device.device;
    for (std::size_t tried = 0; tried < m_addresses.size(); ++tried) {
        const std::size_t index = (m_lastGoodAddress + tried) % m_addresses.size();
        const int timeoutMs = std::min(ConnectTimeoutMs, remainingMs(deadline));
        if (timeoutMs == 0)
            break;
        // Not cut short by a wake-up: a kick that comes meanwhile goes out
        // on this connection.
        OpenResult result
            = drawerdriver::connectNetwork(m_device.endpoint, m_addresses[index], timeoutMs, -1);
        if (result.transport) {
            m_transport = std::move(result.transport);
            m_lastGoodAddress = index;
            return true;
        }
        // The first failure says most: a later address may only time out.
        if (tried == 0) {
            failure = result.failure;
            error = result.error;
        }
    }
    return false;
}

void DeviceConnection::decideHold()
{
    if (m_hold)
        return;
    // Opening and closing a serial port toggles its lines; drawers that are
    // devices themselves are nobody's printer.
    const bool ownDevice
        = m_device.protocol == Protocol::Hid || m_device.protocol == Protocol::Trigger;
    m_hold = m_device.hold.value_or(ownDevice || m_transport->serialPort() != nullptr);
    m_protocol = makeProtocol(m_device, m_watchSensor, *m_hold);
    m_reader = std::make_unique<StatusReader>(*m_protocol);
}

void DeviceConnection::close()
{
    if (m_transport && held()) {
        if (const auto bytes = m_protocol->holdEnd(); !bytes.empty()) {
            std::string ignored;
            m_transport->writeAll(bytes, Clock::now() + std::chrono::milliseconds(100), ignored);
        }
    }
    // A network connection closed with bytes unread is reset, and a printer
    // may drop with it what it has not printed yet of the last job.
    if (m_transport)
        m_transport->discardInput();
    m_transport.reset();
}

} // namespace drawerdriver
