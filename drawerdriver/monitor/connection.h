// A device's connection as its monitor keeps it: opened or connected for
// each exchange and closed straight after, so that the shop's own software
// can print between them; or held open, where the device is ours alone or
// the configuration says so.
#pragma once

#include "protocols/protocol.h"
#include "protocols/statusreader.h"
#include "transports/transport.h"

#include <memory>
#include <string>
#include <vector>

namespace drawerdriver {

class DeviceConnection {
public:
    // device: the settings that rule the device; watchSensor: some drawer
    // on it has a sensor to read.
    DeviceConnection(const DrawerSettings &device, bool watchSensor);
    ~DeviceConnection() { close(); }
    DeviceConnection(const DeviceConnection &) = delete;
    DeviceConnection &operator=(const DeviceConnection &) = delete;

    // A network printer's addresses, looked up once and kept: the lookup
    // may take long, so it is done outside any exchange's deadline.
    bool needsLookup() const;
    bool lookUp(std::string &error);

    // Opens the device, or connects to it, by the deadline; a held one also
    // gets the protocol's start of hold. False, with failure and error set,
    // when it cannot.
    bool open(Clock::time_point deadline, OpenFailure &failure, std::string &error);
    // Lets go of the device, ending a hold first.
    void close();
    void closeUnlessHeld()
    {
        if (!held())
            close();
    }

    bool isOpen() const { return m_transport != nullptr; }
    bool held() const { return m_hold.value_or(false); }
    // Valid while open.
    Transport &transport() { return *m_transport; }
    // Valid once the device has been opened once.
    DeviceProtocol &protocol() { return *m_protocol; }
    StatusReader &reader() { return *m_reader; }

private:
    bool connectNetwork(Clock::time_point deadline, OpenFailure &failure, std::string &error);
    void decideHold();

    const DrawerSettings &m_device;
    const bool m_watchSensor;
    std::optional<bool> m_hold;
    std::unique_ptr<DeviceProtocol> m_protocol;
    std::unique_ptr<StatusReader> m_reader;
    std::unique_ptr<Transport> m_transport;
    std::vector<NetworkAddress> m_addresses;
    std::size_t m_lastGoodAddress = 0;
};

} // namespace drawerdriver
