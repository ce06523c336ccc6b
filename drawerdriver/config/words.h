// The words of drawers.conf and what they mean, written once for the
// library's parser, the set-up tool's editor and its messages, and the
// drawer service.
#pragma once

#include "config/config.h"

#include <cstddef>
#include <cstdint>
#include <optional>
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

// A word of drawers.conf and the value it names.
template<typename Value> struct Word {
    const char *text;
    Value value;
};

// The words of each setting that takes one, written once here for the
// parser, the set-up tool and the messages that list them.
inline constexpr Word<Protocol> ProtocolWords[] {{"escpos", Protocol::EscPos},
    {"star", Protocol::Star}, {"hid", Protocol::Hid}, {"trigger", Protocol::Trigger}};
inline constexpr Word<Connector> ConnectorWords[] {
    {"pin2", Connector::Pin2}, {"pin5", Connector::Pin5}, {"both", Connector::Both}};
inline constexpr Word<Sensor> SensorWords[] {
    {"open-high", Sensor::OpenHigh}, {"open-low", Sensor::OpenLow}, {"none", Sensor::None}};
// SensorLine::None has no word: a box without a sensor line leaves the key out.
inline constexpr Word<SensorLine> SensorLineWords[] {{"ri", SensorLine::Ri},
    {"cts", SensorLine::Cts}, {"dsr", SensorLine::Dsr}, {"dcd", SensorLine::Dcd}};
inline constexpr Word<bool> HoldWords[] {{"yes", true}, {"no", false}};

// The value a word names, if the table has the word.
template<typename Value, std::size_t N>
constexpr std::optional<Value> valueOf(const Word<Value> (&words)[N], std::string_view text)
{
    for (const Word<Value> &word : words)
        if (text == word.text)
            return word.value;
    return std::nullopt;
}

// The word for a value, or "" where the table has none.
template<typename Value, std::size_t N>
constexpr const char *wordOf(const Word<Value> (&words)[N], Value value)
{
    for (const Word<Value> &word : words)
        if (word.value == value)
            return word.text;
    return "";
}

// The table's words as a message lists them: "pin2, pin5 or both".
template<typename Value, std::size_t N> std::string wordList(const Word<Value> (&words)[N])
{
    std::string list;
    for (std::size_t i = 0; i < N; ++i)
        list.append(i == 0 ? "" : (i + 1 == N ? " or " : ", ")).append(words[i].text);
    return list;
}

inline const char *protocolName(Protocol protocol)
{
    return wordOf(ProtocolWords, protocol);
}
inline const char *sensorName(Sensor sensor)
{
    return wordOf(SensorWords, sensor);
}

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
