// The words of drawers.conf and what they mean, written once for the
// library's parser, the set-up tool's editor and its messages, and the
// drawer service.
#pragma once

#include "config/config.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace drawerdriver {

// The settings of a [drawer N] section.
namespace key {
inline constexpr std::string_view Device = "device";
inline constexpr std::string_view Protocol = "protocol";
inline constexpr std::string_view Connector = "connector";
inline constexpr std::string_view PulseOn = "pulse-on";
inline constexpr std::string_view PulseOff = "pulse-off";
inline constexpr std::string_view TimeUnit = "time-unit";
inline constexpr std::string_view Speed = "speed";
inline constexpr std::string_view Sensor = "sensor";
inline constexpr std::string_view Hold = "hold";
inline constexpr std::string_view Id = "id";
inline constexpr std::string_view Kick = "kick";
inline constexpr std::string_view SensorLine = "sensor-line";
inline constexpr std::string_view AlarmAfter = "alarm-after";
} // namespace key

inline constexpr std::string_view ServiceHeading = "[service]";
inline constexpr std::string_view WebHeading = "[web]";

// "[drawer 3]" for drawer number 3 (1 to 8).
std::string sectionHeading(int number);
// The drawer a section heading names: its number, 1 to 8, for "[drawer N]"
// (blanks around N allowed), and for a near miss ("[drawer1]", "[Drawer 1]")
// too, with exact false. 0 for any other line.
int headingDrawer(std::string_view line, bool &exact);

const char *protocolName(Protocol protocol);
const char *sensorName(Sensor sensor);
// What a sensor level means: whether the drawer is open.
constexpr bool isOpenLevel(Sensor sensor, bool high)
{
    return sensor != Sensor::None && high == (sensor == Sensor::OpenHigh);
}
// The sensor setting for a drawer whose level is `high` while open.
constexpr Sensor sensorOpenWhen(bool high)
{
    return high ? Sensor::OpenHigh : Sensor::OpenLow;
}

// HID drawers report a "closed" bit in the first byte of their answer, high
// while the drawer is closed: to the library, a sensor that is open-low.
inline constexpr std::uint8_t HidClosedBit = 0x01;
inline constexpr Sensor HidSensor = sensorOpenWhen(false);

} // namespace drawerdriver
