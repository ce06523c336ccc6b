#include "config/config.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace drawerdriver {

namespace {

bool parseNumber(std::string_view text, int min, int max, int &out)
{
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min
        || value > max)
        return false;
    out = value;
    return true;
}

bool isSerialSpeed(int speed)
{
    for (int known : {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200})
        if (speed == known)
            return true;
    return false;
}

bool isHostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
        || c == '-' || c == '_';
}

// One to sixteen bytes, each two hex digits, separated by blanks.
bool parseHexBytes(std::string_view text, std::vector<std::uint8_t> &out)
{
    std::vector<std::uint8_t> bytes;
    while (!(text = trimmed(text)).empty()) {
        const auto end = std::min(text.find_first_of(" \t"), text.size());
        const std::string_view token = text.substr(0, end);
        unsigned value = 0;
        const auto [last, ec]
            = std::from_chars(token.data(), token.data() + token.size(), value, 16);
        if (token.size() != 2 || ec != std::errc() || last != token.data() + token.size())
            return false;
        bytes.push_back(std::uint8_t(value));
        text.remove_prefix(end);
    }
    if (bytes.empty() || bytes.size() > 16)
        return false;
    out = std::move(bytes);
    return true;
}

bool given(const std::vector<std::string> &keys, std::string_view key)
{
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// "http://host[:port]" or "https://host[:port]", as a browser sends Origin.
bool isOrigin(std::string_view origin)
{
    for (std::string_view scheme : {"http://", "https://"}) {
        if (origin.substr(0, scheme.size()) != scheme)
            continue;
        Endpoint ignored;
        const std::string rest(origin.substr(scheme.size()));
        return !rest.empty() && rest.find('/') == std::string::npos
            && parseEndpoint("tcp://" + rest, ignored).empty();
    }
    return false;
}

// One setting of the [service] or [web] section; empty on success.
std::string applyOtherSetting(
    DrawerConfig &config, bool web, std::string_view key, std::string_view value)
{
    if (!web && key == "keep-days") {
        if (!parseNumber(value, 1, 36500, config.service.keepDays))
            return "keep-days must be 1 to 36500";
        return {};
    }
    if (web && key == "port") {
        if (!parseNumber(value, 1, 65535, config.web.port))
            return "port must be 1 to 65535";
        return {};
    }
    if (web && key == "allow-origin") {
        std::vector<std::string> origins;
        for (std::string_view rest = trimmed(value); !rest.empty(); rest = trimmed(rest)) {
            const std::string_view origin = rest.substr(0, rest.find_first_of(" \t"));
            if (!isOrigin(origin))
                return "allow-origin takes origins such as https://pos.example, separated by "
                       "blanks; '"
                    + std::string(origin) + "' is none";
            origins.emplace_back(origin);
            rest.remove_prefix(origin.size());
        }
        config.web.allowOrigins = std::move(origins);
        return {};
    }
    return "unknown key '" + std::string(key) + "' in [" + (web ? "web" : "service") + "]";
}

} // namespace

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

const char *sensorName(Sensor sensor)
{
    switch (sensor) {
    case Sensor::OpenHigh:
        return "open-high";
    case Sensor::OpenLow:
        return "open-low";
    case Sensor::None:
        break;
    }
    return "none";
}

const char *protocolName(Protocol protocol)
{
    switch (protocol) {
    case Protocol::Star:
        return "star";
    case Protocol::Hid:
        return "hid";
    case Protocol::Trigger:
        return "trigger";
    case Protocol::EscPos:
        break;
    }
    return "escpos";
}

std::string hexBytes(const std::vector<std::uint8_t> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::string parseEndpoint(std::string_view device, Endpoint &endpoint)
{
    constexpr std::string_view scheme = "tcp://";
    if (device.substr(0, scheme.size()) != scheme) {
        if (device.empty() || device.front() != '/')
            return "the device must be an absolute path or tcp://HOST[:PORT]";
        endpoint = Endpoint {std::string(device), {}, 9100};
        return {};
    }
    std::string_view rest = device.substr(scheme.size());
    const std::string bad = "bad address '" + std::string(device) + "'";
    std::string_view host;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            return bad + ": an IPv6 address needs its closing ]";
        host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        const auto isV6 = [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
        };
        if (host.empty() || !std::all_of(host.begin(), host.end(), isV6))
            return bad;
    } else {
        host = rest.substr(0, rest.find(':'));
        rest.remove_prefix(host.size());
        if (host.empty() || !std::all_of(host.begin(), host.end(), isHostCharacter))
            return bad;
    }
    int number = 9100;
    if (!rest.empty() && (rest.front() != ':' || !parseNumber(rest.substr(1), 1, 65535, number)))
        return "bad port in '" + std::string(device) + "': it must be 1 to 65535";
    endpoint = Endpoint {{}, std::string(host), number};
    return {};
}

std::string applySetting(DrawerSettings &settings, std::string_view key, std::string_view value,
    std::vector<std::string> &keys)
{
    if (given(keys, key))
        return std::string("'").append(key).append("' is given twice");
    if (key == "device") {
        if (std::string wrong = parseEndpoint(value, settings.endpoint); !wrong.empty())
            return wrong;
        settings.device = std::string(value);
    } else if (key == "protocol") {
        if (value == "escpos")
            settings.protocol = Protocol::EscPos;
        else if (value == "star")
            settings.protocol = Protocol::Star;
        else if (value == "hid")
            settings.protocol = Protocol::Hid;
        else if (value == "trigger")
            settings.protocol = Protocol::Trigger;
        else
            return "unknown protocol '" + std::string(value)
                + "': it must be escpos, star, hid or trigger";
    } else if (key == "connector") {
        if (value == "pin2")
            settings.connector = Connector::Pin2;
        else if (value == "pin5")
            settings.connector = Connector::Pin5;
        else if (value == "both")
            settings.connector = Connector::Both;
        else
            return "connector must be pin2, pin5 or both";
    } else if (key == "pulse-on") {
        if (!parseNumber(value, 1, 2550, settings.pulseOnMs))
            return "pulse-on must be 1 to 2550 milliseconds";
    } else if (key == "pulse-off") {
        if (!parseNumber(value, 1, 2550, settings.pulseOffMs))
            return "pulse-off must be 1 to 2550 milliseconds";
    } else if (key == "time-unit") {
        if (!parseNumber(value, 2, 10, settings.timeUnitMs)
            || (settings.timeUnitMs != 2 && settings.timeUnitMs != 10))
            return "time-unit must be 2 or 10 (milliseconds)";
    } else if (key == "speed") {
        if (!parseNumber(value, 1, 115200, settings.speed) || !isSerialSpeed(settings.speed))
            return "speed must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, "
                   "115200";
    } else if (key == "sensor") {
        if (value == "open-high")
            settings.sensor = Sensor::OpenHigh;
        else if (value == "open-low")
            settings.sensor = Sensor::OpenLow;
        else if (value == "none")
            settings.sensor = Sensor::None;
        else
            return "sensor must be open-high, open-low or none";
    } else if (key == "hold") {
        if (value == "yes")
            settings.hold = true;
        else if (value == "no")
            settings.hold = false;
        else
            return "hold must be yes or no";
    } else if (key == "id") {
        if (!parseNumber(value, 0, 7, settings.hidId))
            return "id must be the drawer's ID switch, 0 to 7";
    } else if (key == "kick") {
        if (!parseHexBytes(value, settings.kick))
            return "kick must be one to sixteen bytes, each two hex digits (such as 07 or 1B 07)";
    } else if (key == "alarm-after") {
        if (!parseNumber(value, 0, 86400, settings.alarmAfterSeconds))
            return "alarm-after must be 0 (off) to 86400 seconds";
    } else if (key == "sensor-line") {
        if (value == "ri")
            settings.sensorLine = SensorLine::Ri;
        else if (value == "cts")
            settings.sensorLine = SensorLine::Cts;
        else if (value == "dsr")
            settings.sensorLine = SensorLine::Dsr;
        else if (value == "dcd")
            settings.sensorLine = SensorLine::Dcd;
        else
            return "sensor-line must be ri, cts, dsr or dcd";
    } else {
        return "unknown key '" + std::string(key) + "'";
    }
    keys.emplace_back(key);
    return {};
}

std::string checkSection(const DrawerSettings &settings, const std::vector<std::string> &keys)
{
    if (settings.device.empty())
        return "names no device";
    const std::string protocol = protocolName(settings.protocol);
    const auto onlyFor = [&](const char *key, Protocol owner) -> std::string {
        if (settings.protocol != owner && given(keys, key))
            return std::string("'") + key + "' does not apply to protocol " + protocol;
        return {};
    };
    for (const std::string &wrong : {onlyFor("id", Protocol::Hid),
             onlyFor("kick", Protocol::Trigger), onlyFor("sensor-line", Protocol::Trigger)})
        if (!wrong.empty())
            return wrong;
    const bool printer
        = settings.protocol == Protocol::EscPos || settings.protocol == Protocol::Star;
    if (!printer) {
        if (settings.endpoint.isNetwork())
            return "protocol " + protocol + " needs a device node, not a network address";
        for (const char *key : {"connector", "pulse-on", "pulse-off", "time-unit"})
            if (given(keys, key))
                return std::string("'") + key + "' does not apply to protocol " + protocol;
    }
    if (settings.protocol == Protocol::Star && given(keys, "time-unit"))
        return "'time-unit' does not apply to protocol star (it counts in 10 ms)";
    if (settings.protocol == Protocol::Hid) {
        if (!given(keys, "id"))
            return "a hid drawer needs its id, the ID switch 0 to 7";
        if (given(keys, "sensor"))
            return "'sensor' does not apply to protocol hid: the drawer reports open and closed "
                   "itself";
    }
    if (settings.protocol == Protocol::Trigger && settings.sensor != Sensor::None
        && settings.sensorLine == SensorLine::None)
        return "a trigger drawer with a sensor needs sensor-line = ri, cts, dsr or dcd";
    return {};
}

DrawerConfig parseDrawerConfig(std::string_view text, const std::string &fileName)
{
    DrawerConfig config;
    std::array<DrawerSettings, DrawerCount> settings {};
    std::array<std::vector<std::string>, DrawerCount> keys {};
    std::array<bool, DrawerCount> seen {};
    std::array<bool, DrawerCount> broken {};
    // The section being read: a drawer's index, or one of these.
    constexpr int NoSection = -1, ServiceSection = -2, WebSection = -3;
    int current = NoSection;
    int lineNumber = 0;
    const auto problem = [&](const std::string &what) {
        config.problems.push_back(fileName + ":" + std::to_string(lineNumber) + ": " + what);
    };

    while (!text.empty()) {
        ++lineNumber;
        const auto end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;

        if (line == "[service]" || line == "[web]") {
            current = line == "[web]" ? WebSection : ServiceSection;
            continue;
        }
        if (line.front() == '[') {
            int number = 0;
            if (line.size() < 10 || line.substr(0, 8) != "[drawer " || line.back() != ']'
                || !parseNumber(trimmed(line.substr(8, line.size() - 9)), 1, DrawerCount, number)) {
                problem("a section must read [drawer N], N from 1 to 8, [service] or [web]");
                current = NoSection;
                continue;
            }
            current = number - 1;
            if (seen[current]) {
                problem("[drawer " + std::to_string(number) + "] appears twice");
                broken[current] = true;
            }
            seen[current] = true;
            continue;
        }

        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            problem("expected key = value");
            if (current >= 0)
                broken[current] = true;
            continue;
        }
        if (current == WebSection || current == ServiceSection) {
            const std::string wrong = applyOtherSetting(config, current == WebSection,
                trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)));
            if (!wrong.empty())
                problem(wrong);
            continue;
        }
        if (current < 0) {
            problem("a setting outside any [drawer N] section");
            continue;
        }
        const std::string wrong = applySetting(settings[current], trimmed(line.substr(0, equals)),
            trimmed(line.substr(equals + 1)), keys[current]);
        if (!wrong.empty()) {
            problem(wrong + " (drawer " + std::to_string(current + 1) + " is unavailable)");
            broken[current] = true;
        }
    }

    for (int i = 0; i < DrawerCount; ++i) {
        if (!seen[i])
            continue;
        config.refused[i] = true;
        if (broken[i])
            continue;
        if (const std::string wrong = checkSection(settings[i], keys[i]); !wrong.empty()) {
            config.problems.push_back(
                fileName + ": [drawer " + std::to_string(i + 1) + "] " + wrong);
            continue;
        }
        config.refused[i] = false;
        // A HID drawer reports its "closed" bit: high while closed.
        if (settings[i].protocol == Protocol::Hid)
            settings[i].sensor = Sensor::OpenLow;
        config.drawers[i] = settings[i];
    }
    return config;
}

std::string drawerConfigPath()
{
    if (const char *named = std::getenv("KESTRIN_DRAWERS_CONF"); named && *named)
        return named;
    return DefaultConfigPath;
}

DrawerConfig loadDrawerConfig(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        DrawerConfig config;
        config.problems.push_back("cannot read " + path + ": " + std::strerror(errno));
        return config;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parseDrawerConfig(text.str(), path);
}

} // namespace drawerdriver
