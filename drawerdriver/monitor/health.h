// How a device is doing, as its monitor sees it: how long to wait before
// the next attempt after failures, and what to tell about it, once.
#pragma once

#include "transports/transport.h"

#include <chrono>
#include <optional>
#include <string>

namespace drawerdriver {

class DeviceHealth {
public:
    // subject: "device /dev/usb/lp0"; holderPath: the node whose holders a
    // message names, empty for a network printer.
    DeviceHealth(std::string subject, std::string holderPath);

    // The device answered: back-off and problems are over, and a problem
    // that was told is told to be over too.
    void answered();
    // An attempt failed. A busy or refusing device is told about only once
    // it has been so for BusyGrace, since it is normal for a moment (the
    // shop's software is printing).
    void failed(OpenFailure failure, const std::string &error);
    // How long to wait before the next attempt.
    std::chrono::milliseconds backoff() const { return m_backoff; }

private:
    void tell(const std::string &problem);

    const std::string m_subject;
    const std::string m_holderPath;
    std::chrono::milliseconds m_backoff {0};
    std::optional<Clock::time_point> m_busySince;
    bool m_busyTold = false;
    bool m_problemTold = false;
};

} // namespace drawerdriver
