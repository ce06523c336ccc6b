// What is said to a drawer's device and how its answers are read. Each
// protocol sends only the commands named here: some drawers take an unknown
// command as the start of a firmware update.
#pragma once

#include "config/config.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace drawerdriver {

class DeviceProtocol {
public:
    virtual ~DeviceProtocol() = default;

    // The question for the drawer's status; empty where the device is not
    // asked (it has no sensor, or reports it on a modem line).
    virtual std::vector<std::uint8_t> statusRequest() const { return {}; }
    // The bytes that fire the drawer of this section.
    virtual std::vector<std::uint8_t> kickCommand(const DrawerSettings &drawer) const = 0;
    // Sent once a held connection is open, and before it is let go.
    virtual std::vector<std::uint8_t> holdStart() const { return {}; }
    virtual std::vector<std::uint8_t> holdEnd() const { return {}; }
    // How much one read takes: a HID report is one read of its own.
    virtual std::size_t readSize() const { return 512; }

    // A question has just been sent: the next status is its answer, and
    // anything else that arrives before it makes the exchange noisy.
    void expectAnswer()
    {
        m_noisy = false;
        m_answered = false;
        m_awaiting = true;
        restart();
    }
    // Between exchanges, each read is judged on its own.
    void clearNoise() { m_noisy = false; }
    // The exchange is over: an answer that comes later is stale, and must
    // not be taken for the answer to the next question.
    void endExchange() { m_awaiting = false; }
    // The bytes of one read. Each complete, valid status in them, answered
    // or pushed by the device, adds its sensor level to levels.
    virtual void consume(const std::uint8_t *data, std::size_t size, std::vector<bool> &levels) = 0;
    // Whether the question has had its answer, and whether anything but
    // status arrived since it was asked.
    bool answered() const { return m_answered; }
    bool noisy() const { return m_noisy; }

protected:
    // Drops what was read of a status before a new question.
    virtual void restart() { }

    bool m_noisy = false;
    bool m_answered = false;
    bool m_awaiting = false;
};

// The protocol of a device, from its first drawer's section. watchSensor:
// some drawer on the device has a sensor to read. held: the connection stays
// open, so pushed statuses may be asked for.
std::unique_ptr<DeviceProtocol> makeProtocol(
    const DrawerSettings &settings, bool watchSensor, bool held);

// The bytes that fire the drawer of a section.
std::vector<std::uint8_t> kickBytes(const DrawerSettings &drawer);

// A pulse in device units, rounded and clamped to 1..255.
std::uint8_t pulseUnits(int milliseconds, int unitMs);

// ESC/POS: the real-time status request DLE EOT 1 and its answer byte.
inline constexpr std::uint8_t EscPosStatusRequest[] = {0x10, 0x04, 0x01};
constexpr bool isEscPosStatus(std::uint8_t byte)
{
    return (byte & 0x93) == 0x12;
}
std::vector<std::uint8_t> escPosKick(const DrawerSettings &drawer);
std::unique_ptr<DeviceProtocol> makeEscPos(bool automaticStatus);

// Star line mode: ESC ACK SOH and its variable-length status.
inline constexpr std::uint8_t StarStatusRequest[] = {0x1B, 0x06, 0x01};
std::vector<std::uint8_t> starKick(const DrawerSettings &drawer);
std::unique_ptr<DeviceProtocol> makeStar();

// HID drawers: 120-byte reports, written with the report ID 0 in front.
inline constexpr std::size_t HidReportSize = 120;
std::unique_ptr<DeviceProtocol> makeHid(int id);

// Drawer-trigger boxes: the kick bytes, and the switch on a modem line.
std::unique_ptr<DeviceProtocol> makeTrigger();

} // namespace drawerdriver
