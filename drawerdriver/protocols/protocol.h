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

// One unit of what a device sends, as its protocol reads it. A protocol
// only parses; whether a status counts is decided by the StatusReader.
struct Frame {
    enum class Kind {
        Status, // a status, which counts only as the answer to a question
        Pushed, // a status the device sends by itself, by the protocol's design
        Noise, // bytes that are no frame of the protocol
    };
    Kind kind = Kind::Noise;
    bool level = false; // the sensor level of a status
};

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

    // The frames in the bytes of one read. A frame cut between two reads
    // is completed by the next one.
    virtual void parse(const std::uint8_t *data, std::size_t size, std::vector<Frame> &frames) = 0;
    // Drops what was read of a frame, before a new question.
    virtual void restart() { }
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
// The bit of an answer's first byte that is set while the drawer is closed.
inline constexpr std::uint8_t HidClosedBit = 0x01;
std::unique_ptr<DeviceProtocol> makeHid(int id);

// Drawer-trigger boxes: the kick bytes, and the switch on a modem line.
std::unique_ptr<DeviceProtocol> makeTrigger();

} // namespace drawerdriver
