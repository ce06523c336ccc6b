// probe, kick and polarity: the drawer's device asked for its status, the
// drawer fired once, and its sensor polarity found with the user's help.
#include "setup.h"

#include <cstdio>
#include <thread>

namespace drawerdriver::setup {

namespace {

constexpr int ProbeCount = 5;
constexpr std::chrono::milliseconds ProbeInterval {100};

void pause(std::chrono::milliseconds length)
{
    std::this_thread::sleep_for(length);
}

// The sensor in words, with what carried it: "sensor low, status 12".
std::string levelText(const DrawerSettings &settings, const Reading &reading)
{
    std::string text = "sensor " + levelWord(*reading.level);
    if (settings.protocol == Protocol::Trigger)
        return text + " (modem line)";
    return text + ", status " + hexBytes(reading.raw);
}

std::string readingText(const DrawerSettings &settings, const Reading &reading)
{
    if (!reading.asked)
        return reading.present ? "the device is there (a trigger box without sensor-line is "
                                 "not asked)"
                               : "the device is gone";
    if (!reading.answered || !reading.level) {
        std::string text = "no answer: " + printable(reading.error);
        if (!reading.raw.empty())
            text += " (received " + hexBytes(reading.raw) + ")";
        return text;
    }
    if (settings.sensor == Sensor::None)
        return levelText(settings, reading);
    return windowWord(settings, reading) + " (" + levelText(settings, reading) + ")";
}

// Drawer N's settings, or a device and its keys given on the command line.
// The one drawer a command takes, and its section: Done, or the exit code
// of the refusal already told.
int loadOnlyDrawer(
    const Arguments &arguments, const char *command, int &drawer, DrawerSettings &settings)
{
    drawer = arguments.size() == 1 ? drawerNumber(arguments[0]) : 0;
    if (!drawer) {
        tell(std::string(command) + " takes one drawer number, 1 to 8");
        return Usage;
    }
    return loadDrawer(drawer, settings);
}

int settingsFromArguments(const Arguments &arguments, DrawerSettings &settings, std::string &title)
{
    if (arguments.empty()) {
        tell("probe takes a drawer number, 1 to 8, or a device: probe DEVICE [--protocol P] "
             "[KEY=VALUE...]");
        return Usage;
    }
    if (const int drawer = drawerNumber(arguments[0])) {
        if (arguments.size() > 1) {
            tell("probe " + arguments[0] + " takes nothing more: drawer " + arguments[0]
                + "'s settings come from the file (probe DEVICE takes settings)");
            return Usage;
        }
        title = "Drawer " + arguments[0];
        return loadDrawer(drawer, settings);
    }
    const std::string &device = arguments[0];
    if (device.find_first_not_of("0123456789") == std::string::npos) {
        tell("there is no drawer " + device + ": drawers are 1 to 8");
        return Usage;
    }
    std::vector<std::string> given;
    std::string wrong = applySetting(settings, key::Device, device, given);
    for (std::size_t i = 1; wrong.empty() && i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "--protocol" && i + 1 < arguments.size()) {
            wrong = applySetting(settings, key::Protocol, arguments[++i], given);
            continue;
        }
        const auto equals = argument.find('=');
        if (equals == std::string::npos || equals == 0) {
            wrong = "'" + argument + "' is no KEY=VALUE";
            continue;
        }
        wrong = applySetting(
            settings, argument.substr(0, equals), argument.substr(equals + 1), given);
    }
    if (wrong.empty())
        wrong = checkSection(settings, given);
    if (!wrong.empty()) {
        tell(wrong);
        return Usage;
    }
    // As the library reads it: a HID drawer's bit is high while closed.
    if (settings.protocol == Protocol::Hid)
        settings.sensor = HidSensor;
    title = "Device";
    return Done;
}

// The polarity a closed drawer's level suggests, in words, or empty.
std::string polarityAdvice(
    const DrawerSettings &settings, const std::vector<Reading> &readings, const std::string &drawer)
{
    if (settings.protocol == Protocol::Hid)
        return "A hid drawer reports open and closed itself (high: closed): it has no polarity "
               "to set.";
    std::optional<bool> level;
    for (const Reading &reading : readings) {
        if (!reading.level)
            continue;
        if (level && *level != *reading.level)
            return "The level changed while asking: keep the drawer still, and probe again to "
                   "learn its polarity.";
        level = reading.level;
    }
    if (!level)
        return {};
    // Read with the drawer closed: open is the other level.
    const std::string suggested = sensorName(sensorOpenWhen(!*level));
    std::string text = "If the drawer is closed now, it reads " + levelWord(*level)
        + " while closed: that suggests sensor = " + suggested + ".";
    const std::string configured = sensorName(settings.sensor);
    if (drawer.empty())
        return text;
    if (configured == suggested)
        return text + "\nThe file says so too.";
    if (configured == "none")
        return text + "\nThe file says sensor = none; to read the sensor:\n  " + toolCommand()
            + " set " + drawer + " sensor=" + suggested;
    return text + "\nThe file says sensor = " + configured
        + ": the wrong way round if the drawer is closed (" + toolCommand() + " polarity " + drawer
        + " finds it step by step).";
}

// How long the drawer's pulse takes, on and off, so that the sensor is
// not read while the solenoid is still pulling.
std::chrono::milliseconds pulseTime(const DrawerSettings &settings)
{
    int ms = 400;
    if (settings.protocol == Protocol::EscPos || settings.protocol == Protocol::Star) {
        const int unit = settings.protocol == Protocol::Star ? 10 : settings.timeUnitMs;
        ms = (pulseUnits(settings.pulseOnMs, unit) + pulseUnits(settings.pulseOffMs, unit)) * unit;
        if (settings.connector == Connector::Both)
            ms *= 2;
    }
    return std::chrono::milliseconds(ms + 100);
}

// The level of the drawer's sensor now, asked up to three times; the
// device is let go at once, so that the window and printing may have it.
int measure(const DrawerSettings &settings, const std::string &state, bool &level)
{
    OpenedDevice opened = openDevice(settings);
    if (!opened.transport)
        return opened.exit;
    const auto protocol = makeProtocol(settings, true, false);
    Reading reading;
    for (int attempt = 0; attempt < 3 && !reading.level; ++attempt) {
        if (attempt > 0)
            pause(ProbeInterval);
        reading = readSensor(*opened.transport, *protocol, settings);
    }
    if (!reading.level) {
        tell("the drawer's device did not answer: " + reading.error);
        return NoAnswer;
    }
    level = *reading.level;
    say("  %s: %s\n", state.c_str(), levelText(settings, reading).c_str());
    return Done;
}

} // namespace

int probe(const Arguments &arguments)
{
    DrawerSettings settings;
    std::string title;
    if (const int refused = settingsFromArguments(arguments, settings, title); refused != Done)
        return refused;
    say("%s: %s\n", title.c_str(), describe(settings).c_str());
    OpenedDevice opened = openDevice(settings);
    if (!opened.transport)
        return opened.exit;
    const auto protocol = makeProtocol(settings, true, false);

    say("Asking for its status %d times, %lld ms apart:\n", ProbeCount,
        static_cast<long long>(ProbeInterval.count()));
    std::vector<Reading> readings;
    int answers = 0;
    for (int i = 0; i < ProbeCount; ++i) {
        if (i > 0)
            pause(ProbeInterval);
        readings.push_back(readSensor(*opened.transport, *protocol, settings));
        const Reading &reading = readings.back();
        answers += reading.answered;
        say("  %d: %s\n", i + 1, readingText(settings, reading).c_str());
        std::fflush(stdout);
    }
    opened.transport.reset();

    const Reading &last = readings.back();
    if (answers == ProbeCount)
        say("It answered: yes, all %d times.\n", ProbeCount);
    else if (answers == 0)
        say("It answered: no, not once in %d times.\n", ProbeCount);
    else
        say("It answered: only %d of %d times.\n", answers, ProbeCount);
    std::string window = windowWord(settings, last);
    if (settings.sensor == Sensor::None && window != "no answer")
        window += " (sensor = none: shown closed whenever the device is there)";
    say("The window would show the drawer: %s\n", window.c_str());
    say("Raw status: %s\n", last.raw.empty() ? "none" : (hexBytes(last.raw) + " (hex)").c_str());
    say("Sensor level: %s\n", last.level ? levelWord(*last.level).c_str() : "not read");
    const std::string advice
        = polarityAdvice(settings, readings, title == "Device" ? std::string() : arguments[0]);
    if (!advice.empty())
        say("%s\n", advice.c_str());
    return answers == ProbeCount ? Done : NoAnswer;
}

int kick(const Arguments &arguments)
{
    int drawer = 0;
    DrawerSettings settings;
    if (const int refused = loadOnlyDrawer(arguments, "kick", drawer, settings); refused != Done)
        return refused;
    say("Drawer %d: %s\n", drawer, describe(settings).c_str());
    OpenedDevice opened = openDevice(settings);
    if (!opened.transport)
        return opened.exit;
    Transport &device = *opened.transport;
    const auto protocol = makeProtocol(settings, true, false);
    const bool readable = hasLevelToRead(settings);

    Reading before;
    if (readable)
        before = readSensor(device, *protocol, settings);
    say("Before: %s\n",
        readable ? readingText(settings, before).c_str() : "not read (no sensor-line)");

    const std::vector<std::uint8_t> bytes = kickBytes(settings);
    std::string error;
    if (!device.writeAll(bytes, Clock::now() + std::chrono::seconds(1), error)) {
        tell("the kick did not reach the device: " + error
            + ".\nIt is not sent again: fire the drawer again only once you know why.");
        return NoAnswer;
    }
    std::string sent = bytes.size() <= 16 ? hexBytes(bytes)
                                          : hexBytes({bytes.begin(), bytes.begin() + 8}) + " ... ("
            + std::to_string(bytes.size()) + " bytes)";
    say("Fired it once: sent %s\n", sent.c_str());
    std::fflush(stdout);

    const auto wait = pulseTime(settings);
    pause(wait);
    Reading after;
    if (readable)
        after = readSensor(device, *protocol, settings);
    say("After %lld ms: %s\n", static_cast<long long>(wait.count()),
        readable ? readingText(settings, after).c_str() : "not read (no sensor-line)");

    if (!before.level || !after.level)
        say("The sensor cannot tell whether it opened: look at the drawer.\n");
    else if (*before.level != *after.level && settings.sensor != Sensor::None)
        say("The drawer went from %s to %s.\n", windowWord(settings, before).c_str(),
            windowWord(settings, after).c_str());
    else if (*before.level != *after.level)
        say("The sensor went from %s to %s: the drawer moved.\n", levelWord(*before.level).c_str(),
            levelWord(*after.level).c_str());
    else
        say("The sensor did not change. If the drawer did not open, check the connector "
            "(pin2, pin5 or both)\nand the pulse times; if it did, it was open already, "
            "or its switch is not reported.\n");
    return Done;
}

int polarity(const Arguments &arguments)
{
    int drawer = 0;
    DrawerSettings settings;
    if (const int refused = loadOnlyDrawer(arguments, "polarity", drawer, settings);
        refused != Done)
        return refused;
    const std::string number = arguments[0];
    if (settings.protocol == Protocol::Hid) {
        tell("drawer " + number
            + " is a hid drawer: it reports open and closed itself, with no polarity to set");
        return Usage;
    }
    if (!hasLevelToRead(settings)) {
        tell("drawer " + number
            + " is a trigger box without sensor-line: name the modem line its switch is on "
              "first:\n  "
            + toolCommand() + " set " + number + " sensor-line=cts   (ri, cts, dsr or dcd)");
        return Usage;
    }
    say("Drawer %d: %s\nThis finds which sensor level means open. Nothing is fired.\n", drawer,
        describe(settings).c_str());

    // Asked once before the user is, so that no one closes a drawer for a
    // device that is not there or does not answer.
    bool closed = false;
    bool open = false;
    if (const int failed = measure(settings, "now", closed); failed != Done)
        return failed;
    say("Close the drawer, then press Enter.\n");
    if (!waitForEnter())
        return NoAnswer;
    if (const int failed = measure(settings, "closed", closed); failed != Done)
        return failed;
    say("Open the drawer, then press Enter.\n  (By hand or with its key, or from "
        "another terminal: %s kick %d)\n",
        toolCommand().c_str(), drawer);
    if (!waitForEnter())
        return NoAnswer;
    if (const int failed = measure(settings, "open", open); failed != Done)
        return failed;

    if (closed == open) {
        say("The sensor reads %s both times: it does not change between closed and "
            "open.\nThe drawer has no switch, or the device does not report it. "
            "Nothing was written;\nwith sensor = none the window shows the drawer "
            "closed whenever its device is there.\n",
            levelWord(open).c_str());
        return NoAnswer;
    }
    const std::string value = sensorName(sensorOpenWhen(open));
    say("The sensor is %s while the drawer is open: sensor = %s.\n", levelWord(open).c_str(),
        value.c_str());
    if (settings.sensor == sensorOpenWhen(open)) {
        say("The file says so already: nothing to write.\n");
        return Done;
    }
    return writeSection(
        drawer, {{std::string(key::Sensor), value}}, {"set", number, "sensor=" + value});
}

} // namespace drawerdriver::setup
