#include "config.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace drawerdriver {

namespace {

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

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
    for (int known : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200})
        if (speed == known)
            return true;
    return false;
}

// Applies one "key = value" line; returns what is wrong with it, if anything.
std::string apply(DrawerSettings &settings, std::string_view key, std::string_view value)
{
    if (key == "device") {
        if (value.empty() || value.front() != '/')
            return "the device must be an absolute path";
        settings.device = std::string(value);
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
            return "speed must be one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200";
    } else if (key == "sensor") {
        if (value == "open-high")
            settings.sensor = Sensor::OpenHigh;
        else if (value == "open-low")
            settings.sensor = Sensor::OpenLow;
        else if (value == "none")
            settings.sensor = Sensor::None;
        else
            return "sensor must be open-high, open-low or none";
    } else {
        return "unknown key '" + std::string(key) + "'";
    }
    return {};
}

} // namespace

DrawerConfig parseDrawerConfig(std::string_view text, const std::string &fileName)
{
    DrawerConfig config;
    std::array<DrawerSettings, DrawerCount> settings {};
    std::array<bool, DrawerCount> seen {};
    std::array<bool, DrawerCount> broken {};
    int current = -1; // the section being read, or -1 outside any
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

        if (line.front() == '[') {
            int number = 0;
            if (line.size() < 10 || line.substr(0, 8) != "[drawer " || line.back() != ']'
                || !parseNumber(trimmed(line.substr(8, line.size() - 9)), 1, DrawerCount, number)) {
                problem("a section must read [drawer N], N from 1 to 8");
                current = -1;
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
        if (current < 0) {
            problem("a setting outside any [drawer N] section");
            continue;
        }
        const std::string wrong = apply(
            settings[current], trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)));
        if (!wrong.empty()) {
            problem(wrong + " (drawer " + std::to_string(current + 1) + " is unavailable)");
            broken[current] = true;
        }
    }

    for (int i = 0; i < DrawerCount; ++i) {
        if (!seen[i] || broken[i])
            continue;
        if (settings[i].device.empty()) {
            config.problems.push_back(
                fileName + ": [drawer " + std::to_string(i + 1) + "] names no device");
            continue;
        }
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
