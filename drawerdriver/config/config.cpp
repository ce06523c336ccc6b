#include "config/config.h"

#include "config/words.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    if (!web && key == "metrics-dir") {
        const bool plain = std::none_of(
            value.begin(), value.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
        if (value.empty() || value.front() != '/' || value.size() > 1024 || !plain)
            return "metrics-dir must be an absolute path, such as "
                   "/var/lib/prometheus/node-exporter";
        config.service.metricsDir = std::string(value);
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
    if (key == key::Device) {
        if (std::string wrong = parseEndpoint(value, settings.endpoint); !wrong.empty())
            return wrong;
        settings.device = std::string(value);
    } else if (key == key::Protocol) {
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
    } else if (key == key::Connector) {
        if (value == "pin2")
            settings.connector = Connector::Pin2;
        else if (value == "pin5")
            settings.connector = Connector::Pin5;
        else if (value == "both")
            settings.connector = Connector::Both;
        else
            return "connector must be pin2, pin5 or both";
    } else if (key == key::PulseOn) {
        if (!parseNumber(value, 1, 2550, settings.pulseOnMs))
            return "pulse-on must be 1 to 2550 milliseconds";
    } else if (key == key::PulseOff) {
        if (!parseNumber(value, 1, 2550, settings.pulseOffMs))
            return "pulse-off must be 1 to 2550 milliseconds";
    } else if (key == key::TimeUnit) {
        if (!parseNumber(value, 2, 10, settings.timeUnitMs)
            || (settings.timeUnitMs != 2 && settings.timeUnitMs != 10))
            return "time-unit must be 2 or 10 (milliseconds)";
    } else if (key == key::Speed) {
        if (!parseNumber(value, 1, 115200, settings.speed) || !isSerialSpeed(settings.speed))
            return "speed must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, "
                   "115200";
    } else if (key == key::Sensor) {
        if (value == "open-high")
            settings.sensor = Sensor::OpenHigh;
        else if (value == "open-low")
            settings.sensor = Sensor::OpenLow;
        else if (value == "none")
            settings.sensor = Sensor::None;
        else
            return "sensor must be open-high, open-low or none";
    } else if (key == key::Hold) {
        if (value == "yes")
            settings.hold = true;
        else if (value == "no")
            settings.hold = false;
        else
            return "hold must be yes or no";
    } else if (key == key::Id) {
        if (!parseNumber(value, 0, 7, settings.hidId))
            return "id must be the drawer's ID switch, 0 to 7";
    } else if (key == key::Kick) {
        if (!parseHexBytes(value, settings.kick))
            return "kick must be one to sixteen bytes, each two hex digits (such as 07 or 1B 07)";
    } else if (key == key::AlarmAfter) {
        if (!parseNumber(value, 0, 86400, settings.alarmAfterSeconds))
            return "alarm-after must be 0 (off) to 86400 seconds";
    } else if (key == key::SensorLine) {
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
    const auto onlyFor = [&](std::string_view key, Protocol owner) -> std::string {
        if (settings.protocol != owner && given(keys, key))
            return "'" + std::string(key) + "' does not apply to protocol " + protocol;
        return {};
    };
    for (const std::string &wrong : {onlyFor(key::Id, Protocol::Hid),
             onlyFor(key::Kick, Protocol::Trigger), onlyFor(key::SensorLine, Protocol::Trigger)})
        if (!wrong.empty())
            return wrong;
    const bool printer
        = settings.protocol == Protocol::EscPos || settings.protocol == Protocol::Star;
    if (!printer) {
        if (settings.endpoint.isNetwork())
            return "protocol " + protocol + " needs a device node, not a network address";
        for (std::string_view key : {key::Connector, key::PulseOn, key::PulseOff, key::TimeUnit})
            if (given(keys, key))
                return "'" + std::string(key) + "' does not apply to protocol " + protocol;
    }
    if (settings.protocol == Protocol::Star && given(keys, key::TimeUnit))
        return "'time-unit' does not apply to protocol star (it counts in 10 ms)";
    if (settings.protocol == Protocol::EscPos) {
        // The printer times the pulse in one byte of units: anything longer
        // would be cut short without a word.
        const int longest = 255 * settings.timeUnitMs;
        for (const auto &[key, ms] : {std::pair("pulse-on", settings.pulseOnMs),
                 std::pair("pulse-off", settings.pulseOffMs)})
            if (ms > longest + settings.timeUnitMs / 2)
                return std::string(key) + " = " + std::to_string(ms)
                    + " is longer than the printer can time in units of "
                    + std::to_string(settings.timeUnitMs) + " ms: at most "
                    + std::to_string(longest)
                    + (settings.timeUnitMs == 2 ? " (time-unit = 10 allows up to 2550)" : "");
    }
    if (settings.protocol == Protocol::Hid) {
        if (!given(keys, key::Id))
            return "a hid drawer needs its id, the ID switch 0 to 7";
        if (given(keys, key::Sensor))
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
    config.fileName = fileName;
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
        std::string_view line = trimmed(withoutComment(text.substr(0, end)));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        const auto unavailable
            = [&] { return " (drawer " + std::to_string(current + 1) + " is unavailable)"; };

        if (line == ServiceHeading || line == WebHeading) {
            current = line == WebHeading ? WebSection : ServiceSection;
            continue;
        }
        if (line.front() == '[') {
            bool exact = false;
            const int number = headingDrawer(line, exact);
            current = number - 1;
            if (number == 0) {
                problem("a section must read [drawer N], N from 1 to 8, [service] or [web]");
                current = NoSection;
                continue;
            }
            // A near miss still holds its drawer's settings, refused with it.
            if (!exact) {
                problem(
                    "a section must read [drawer " + std::to_string(number) + "]" + unavailable());
                broken[current] = true;
            }
            if (seen[current]) {
                problem(sectionHeading(number) + " appears twice");
                broken[current] = true;
            }
            seen[current] = true;
            continue;
        }

        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            problem("expected key = value" + (current >= 0 ? unavailable() : std::string()));
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
            problem(wrong + unavailable());
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
            config.problems.push_back(fileName + ": " + sectionHeading(i + 1) + " " + wrong);
            continue;
        }
        config.refused[i] = false;
        // A HID drawer reports its "closed" bit: high while closed.
        if (settings[i].protocol == Protocol::Hid)
            settings[i].sensor = HidSensor;
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

const char *fileKind(unsigned mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "a regular file";
    case S_IFDIR:
        return "a folder";
    case S_IFBLK:
        return "a block device (a disk)";
    case S_IFCHR:
        return "a character device";
    case S_IFIFO:
        return "a pipe";
    case S_IFSOCK:
        return "a socket";
    }
    return "no file";
}

namespace {

// Why the file is not read, from what stat says of it, or empty.
std::string unreadableKind(const std::string &path, const struct stat &info)
{
    if (S_ISDIR(info.st_mode))
        return path + " is a folder, not a configuration file";
    if (!S_ISREG(info.st_mode))
        return path + " is not a regular file (" + fileKind(info.st_mode)
            + "): only a regular file is read";
    if (info.st_size > LargestConfig)
        return path + " is larger than 1 MiB: no drawer configuration is that large";
    return {};
}

} // namespace

ConfigText readConfigFile(const std::string &path)
{
    ConfigText result;
    const auto refuse = [&](std::string problem, int code) {
        result.problem = std::move(problem);
        result.error = code;
        result.text.clear();
        return result;
    };
    // Looked at before it is opened: opening a pipe or a device may block,
    // or do something to the device.
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0)
        return refuse("cannot read " + path + ": " + std::strerror(errno), errno);
    if (std::string wrong = unreadableKind(path, info); !wrong.empty())
        return refuse(std::move(wrong), 0);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse("cannot read " + path + ": " + std::strerror(errno), errno);
    // And again on what was opened, which may have replaced the name since.
    std::string wrong
        = ::fstat(fd, &info) == 0 ? unreadableKind(path, info) : "cannot read " + path;
    char buffer[16384];
    while (wrong.empty()) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            wrong = "cannot read " + path + ": " + std::strerror(errno);
        if (got <= 0)
            break;
        result.text.append(buffer, std::size_t(got));
        // A file that grows while it is read stops here all the same.
        if (result.text.size() > std::size_t(LargestConfig))
            wrong = path + " is larger than 1 MiB: no drawer configuration is that large";
    }
    ::close(fd);
    return wrong.empty() ? result : refuse(std::move(wrong), 0);
}

DrawerConfig loadDrawerConfig(const std::string &path)
{
    ConfigText file = readConfigFile(path);
    if (file.problem.empty())
        return parseDrawerConfig(file.text, path);
    DrawerConfig config;
    config.problems.push_back(std::move(file.problem));
    config.fileName = path;
    config.unread = true;
    return config;
}

std::string_view withoutComment(std::string_view line)
{
    for (std::size_t at = line.find('#'); at != std::string_view::npos; at = line.find('#', at + 1))
        if (at > 0 && (line[at - 1] == ' ' || line[at - 1] == '\t'))
            return line.substr(0, at);
    return line;
}

std::string notConfigured(const DrawerConfig &config, int drawerIndex)
{
    const std::string number = std::to_string(drawerIndex + 1);
    const std::string where = config.unread
        ? std::string(": ")
        : ": " + config.fileName + " has no " + sectionHeading(drawerIndex + 1) + " section. ";
    return "drawer " + number + " is not configured" + where
        + "kestrin-drawer-setup detect lists the devices, and kestrin-drawer-setup set " + number
        + " device=DEVICE writes its section.";
}

} // namespace drawerdriver
