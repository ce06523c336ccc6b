#include "config/config.h"

#include "config/words.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

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
    if (!web && key == "keep-megabytes") {
        if (!parseNumber(value, 1, 1'000'000, config.service.keepMegabytes))
            return "keep-megabytes must be 1 to 1000000";
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

// A word of the table into out, or what the key must be.
template<typename Value, std::size_t N, typename Out>
std::string readWord(
    std::string_view key, const Word<Value> (&words)[N], std::string_view value, Out &out)
{
    const std::optional<Value> word = valueOf(words, value);
    if (!word)
        return std::string(key) + " must be " + wordList(words);
    out = *word;
    return {};
}

// A number from min to max into out, or the complaint given.
std::string readNumber(std::string_view value, int min, int max, int &out, const char *wrong)
{
    return parseNumber(value, min, max, out) ? std::string() : wrong;
}

// How each key of a [drawer N] section is read: empty on success, else what
// is wrong with the value.
struct KeyReader {
    std::string_view key;
    std::string (*read)(DrawerSettings &settings, std::string_view value);
};

const KeyReader DrawerKeys[] {
    {key::Device,
        [](DrawerSettings &settings, std::string_view value) {
            std::string wrong = parseEndpoint(value, settings.endpoint);
            if (wrong.empty())
                settings.device = std::string(value);
            return wrong;
        }},
    {key::Protocol,
        [](DrawerSettings &settings, std::string_view value) {
            return readWord(key::Protocol, ProtocolWords, value, settings.protocol).empty()
                ? std::string()
                : "unknown protocol '" + std::string(value) + "': it must be "
                    + wordList(ProtocolWords);
        }},
    {key::Connector,
        [](DrawerSettings &settings, std::string_view value) {
            return readWord(key::Connector, ConnectorWords, value, settings.connector);
        }},
    {key::PulseOn,
        [](DrawerSettings &settings, std::string_view value) {
            return readNumber(
                value, 1, 2550, settings.pulseOnMs, "pulse-on must be 1 to 2550 milliseconds");
        }},
    {key::PulseOff,
        [](DrawerSettings &settings, std::string_view value) {
            return readNumber(
                value, 1, 2550, settings.pulseOffMs, "pulse-off must be 1 to 2550 milliseconds");
        }},
    {key::TimeUnit,
        [](DrawerSettings &settings, std::string_view value) {
            const bool known = parseNumber(value, 2, 10, settings.timeUnitMs)
                && (settings.timeUnitMs == 2 || settings.timeUnitMs == 10);
            return known ? std::string() : "time-unit must be 2 or 10 (milliseconds)";
        }},
    {key::Speed,
        [](DrawerSettings &settings, std::string_view value) {
            const bool known
                = parseNumber(value, 1, 115200, settings.speed) && isSerialSpeed(settings.speed);
            return known ? std::string()
                         : "speed must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, "
                           "57600, 115200";
        }},
    {key::Sensor,
        [](DrawerSettings &settings, std::string_view value) {
            return readWord(key::Sensor, SensorWords, value, settings.sensor);
        }},
    {key::Hold,
        [](DrawerSettings &settings, std::string_view value) {
            return readWord(key::Hold, HoldWords, value, settings.hold);
        }},
    {key::Id,
        [](DrawerSettings &settings, std::string_view value) {
            return readNumber(
                value, 0, 7, settings.hidId, "id must be the drawer's ID switch, 0 to 7");
        }},
    {key::Kick,
        [](DrawerSettings &settings, std::string_view value) {
            return parseHexBytes(value, settings.kick)
                ? std::string()
                : "kick must be one to sixteen bytes, each two hex digits (such as 07 or 1B 07)";
        }},
    {key::AlarmAfter,
        [](DrawerSettings &settings, std::string_view value) {
            return readNumber(value, 0, 86400, settings.alarmAfterSeconds,
                "alarm-after must be 0 (off) to 86400 seconds");
        }},
    {key::SensorLine,
        [](DrawerSettings &settings, std::string_view value) {
            return readWord(key::SensorLine, SensorLineWords, value, settings.sensorLine);
        }},
};

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
    if (device.substr(0, scheme.size()) != scheme)
        return parseLocalDevice(device, endpoint);
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
    const auto reader = std::find_if(std::begin(DrawerKeys), std::end(DrawerKeys),
        [&](const KeyReader &known) { return known.key == key; });
    if (reader == std::end(DrawerKeys))
        return "unknown key '" + std::string(key) + "'";
    if (std::string wrong = reader->read(settings, value); !wrong.empty())
        return wrong;
    keys.emplace_back(key);
    return {};
}

namespace {

// Appended, not added: GCC 12 warns wrongly (-Wrestrict) on "'" + a string.
std::string doesNotApply(std::string_view key, const std::string &protocol)
{
    return std::string("'").append(key).append("' does not apply to protocol ").append(protocol);
}

} // namespace

std::string checkSection(const DrawerSettings &settings, const std::vector<std::string> &keys)
{
    if (settings.device.empty())
        return "names no device";
    if (std::string wrong = checkDevice(settings); !wrong.empty())
        return wrong;
    const std::string protocol = protocolName(settings.protocol);
    const auto onlyFor = [&](std::string_view key, Protocol owner) -> std::string {
        if (settings.protocol != owner && given(keys, key))
            return doesNotApply(key, protocol);
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
                return doesNotApply(key, protocol);
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
        return "a trigger drawer with a sensor needs sensor-line = " + wordList(SensorLineWords);
    return {};
}

namespace {

// One pass over a configuration file, line by line: the section being read,
// and what each drawer's section has said so far.
class ConfigReader {
public:
    explicit ConfigReader(const std::string &fileName) { m_config.fileName = fileName; }

    void readLine(std::string_view line)
    {
        ++m_lineNumber;
        line = trimmed(withoutComment(line));
        if (line.empty() || line.front() == '#' || line.front() == ';')
            return;
        if (line.front() == '[')
            readHeading(line);
        else
            readSetting(line);
    }

    // The drawers whose sections are whole and right.
    DrawerConfig finish();

private:
    // The section being read: a drawer's index, or one of these.
    static constexpr int NoSection = -1, ServiceSection = -2, WebSection = -3;

    void readHeading(std::string_view line);
    void readSetting(std::string_view line);

    void problem(const std::string &what)
    {
        m_config.problems.push_back(
            m_config.fileName + ":" + std::to_string(m_lineNumber) + ": " + what);
    }
    // A problem that refuses the current drawer's section.
    void refuse(const std::string &what)
    {
        problem(what + " (drawer " + std::to_string(m_current + 1) + " is unavailable)");
        m_broken[m_current] = true;
    }

    DrawerConfig m_config;
    std::array<DrawerSettings, DrawerCount> m_settings {};
    std::array<std::vector<std::string>, DrawerCount> m_keys {};
    std::array<bool, DrawerCount> m_seen {};
    std::array<bool, DrawerCount> m_broken {};
    int m_current = NoSection;
    int m_lineNumber = 0;
};

void ConfigReader::readHeading(std::string_view line)
{
    if (line == ServiceHeading || line == WebHeading) {
        m_current = line == WebHeading ? WebSection : ServiceSection;
        return;
    }
    bool exact = false;
    const int number = headingDrawer(line, exact);
    if (number == 0) {
        problem("a section must read [drawer N], N from 1 to 8, [service] or [web]");
        m_current = NoSection;
        return;
    }
    m_current = number - 1;
    // A near miss still holds its drawer's settings, refused with it.
    if (!exact)
        refuse("a section must read [drawer " + std::to_string(number) + "]");
    if (m_seen[m_current]) {
        problem(sectionHeading(number) + " appears twice");
        m_broken[m_current] = true;
    }
    m_seen[m_current] = true;
}

void ConfigReader::readSetting(std::string_view line)
{
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
        if (m_current >= 0)
            refuse("expected key = value");
        else
            problem("expected key = value");
        return;
    }
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = trimmed(line.substr(equals + 1));
    if (m_current == WebSection || m_current == ServiceSection) {
        if (const std::string wrong
            = applyOtherSetting(m_config, m_current == WebSection, key, value);
            !wrong.empty())
            problem(wrong);
    } else if (m_current < 0) {
        problem("a setting outside any [drawer N] section");
    } else if (const std::string wrong
               = applySetting(m_settings[m_current], key, value, m_keys[m_current]);
               !wrong.empty()) {
        refuse(wrong);
    }
}

DrawerConfig ConfigReader::finish()
{
    for (int i = 0; i < DrawerCount; ++i) {
        if (!m_seen[i])
            continue;
        m_config.refused[i] = true;
        if (m_broken[i])
            continue;
        if (const std::string wrong = checkSection(m_settings[i], m_keys[i]); !wrong.empty()) {
            m_config.problems.push_back(
                m_config.fileName + ": " + sectionHeading(i + 1) + " " + wrong);
            continue;
        }
        m_config.refused[i] = false;
        // A HID drawer reports its "closed" bit: high while closed.
        if (m_settings[i].protocol == Protocol::Hid)
            m_settings[i].sensor = HidSensor;
        m_config.drawers[i] = m_settings[i];
    }
    return std::move(m_config);
}

} // namespace

DrawerConfig parseDrawerConfig(std::string_view text, const std::string &fileName)
{
    ConfigReader reader(fileName);
    while (!text.empty()) {
        const auto end = text.find('\n');
        reader.readLine(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return reader.finish();
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
