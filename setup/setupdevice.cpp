// The drawer's settings and device as the setup tool reaches them, and the
// refusals that say what stands in the way.
#include "setup.h"

#include "busapi.h"
#include "protocols/exchange.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace drawerdriver::setup {

namespace {

// Looks the host up on a thread of its own, so that a name server that
// does not answer holds the tool no longer than the limit.
std::vector<NetworkAddress> resolveWithin(const Endpoint &endpoint, int limitMs, std::string &error)
{
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::vector<NetworkAddress> addresses;
        std::string error;
    };
    const auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, endpoint] {
        std::string failure;
        auto addresses = resolveNetworkAddresses(endpoint, failure);
        std::lock_guard guard(lookup->mutex);
        lookup->addresses = std::move(addresses);
        lookup->error = failure;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_for(
            lock, std::chrono::milliseconds(limitMs), [&] { return lookup->finished; })) {
        error = "cannot find the address of " + endpoint.host + " within "
            + std::to_string(limitMs / 1000) + " s";
        return {};
    }
    error = lookup->error;
    return lookup->addresses;
}

// Each address in turn, the first failure kept for the message.
OpenResult connectToAny(const Endpoint &endpoint, const std::vector<NetworkAddress> &addresses)
{
    OpenResult first;
    for (const NetworkAddress &address : addresses) {
        OpenResult result = connectNetwork(endpoint, address, 2000);
        if (result.transport)
            return result;
        if (first.error.empty())
            first = std::move(result);
    }
    return first;
}

} // namespace

int drawerNumber(const std::string &text)
{
    return bus::parseDrawerNumber(text);
}

std::string describe(const DrawerSettings &settings)
{
    std::string text = printable(settings.device) + " (" + protocolName(settings.protocol);
    switch (settings.protocol) {
    case Protocol::EscPos:
    case Protocol::Star:
        text += std::string(", connector ") + wordOf(ConnectorWords, settings.connector)
            + ", sensor " + sensorName(settings.sensor);
        break;
    case Protocol::Hid:
        text += ", id " + std::to_string(settings.hidId) + ", the drawer reports its state";
        break;
    case Protocol::Trigger:
        text += ", kick " + hexBytes(settings.kick) + ", sensor " + sensorName(settings.sensor);
        if (settings.sensorLine != SensorLine::None)
            text += std::string(" on ") + wordOf(SensorLineWords, settings.sensorLine);
        break;
    }
    return text + ")";
}

int loadDrawer(int drawer, DrawerSettings &settings)
{
    const std::string path = drawerConfigPath();
    const std::string number = std::to_string(drawer);
    const std::string writeOne = toolCommand() + " set " + number + " device=DEVICE\n("
        + toolCommand() + " detect lists the devices; drawers.conf(5) lists the other keys)";
    const ConfigText file = readConfigFile(path);
    if (file.error == ENOENT) {
        tell("drawer " + number + " is not configured: " + path
            + " does not exist. Write its section with:\n  " + writeOne);
        return NotConfigured;
    }
    if (file.error == EACCES) {
        tell(file.problem + ".\n" + readAccessAdvice(path));
        return Permission;
    }
    if (!file.problem.empty()) {
        tell(file.problem);
        return NoAnswer;
    }
    const DrawerConfig config = parseDrawerConfig(file.text, path);
    if (config.drawers[std::size_t(drawer - 1)]) {
        settings = *config.drawers[std::size_t(drawer - 1)];
        return Done;
    }
    std::string problems;
    for (const std::string &problem : config.problems)
        if (problem.find("drawer " + number + " is unavailable") != std::string::npos
            || problem.find(sectionHeading(drawer)) != std::string::npos)
            problems += "\n  " + problem;
    std::string others;
    for (std::size_t i = 0; i < std::min<std::size_t>(config.problems.size(), 10); ++i)
        others += "\n  " + config.problems[i];
    if (problems.empty() && !others.empty())
        tell("drawer " + number + " is not configured: " + path + " has no "
            + sectionHeading(drawer) + " section, and the library says of the file:" + others
            + "\nMend those lines, or write the section with:\n  " + writeOne);
    else if (problems.empty())
        tell("drawer " + number + " is not configured: " + path + " has no "
            + sectionHeading(drawer) + " section. Write one with:\n  " + writeOne);
    else
        tell("drawer " + number + " is not configured: its section is wrong:" + problems
            + "\nCorrect it with " + toolCommand() + " set " + number
            + " KEY=VALUE (KEY= takes a key out).");
    return NotConfigured;
}

namespace {

// A network printer: its name looked up, then a connection to any of its
// addresses.
OpenedDevice connectToPrinter(const Endpoint &endpoint)
{
    OpenedDevice opened;
    std::string error;
    const auto addresses = resolveWithin(endpoint, 3000, error);
    if (addresses.empty()) {
        tell(error + ": is the host name right?");
        opened.exit = NotFound;
        return opened;
    }
    OpenResult result = connectToAny(endpoint, addresses);
    if (!result.transport) {
        std::string why = result.error;
        if (result.failure == OpenFailure::Refused)
            why += ".\nNothing takes connections on that port: is the printer on, and are "
                   "its address and port right? (A printer whose connections are all taken "
                   "by other programs refuses too.)";
        else
            why += ".\nIs the printer on, and on this network?";
        tell(why);
        opened.exit = NoAnswer;
        return opened;
    }
    opened.transport = std::move(result.transport);
    return opened;
}

// Why the device node did not open, told, as the exit status.
int openRefusal(const std::string &path, const OpenResult &result)
{
    switch (result.failure) {
    case OpenFailure::Busy:
        tell(path + " is busy: " + holdersText(path)
            + ".\nThat program must let go of it first (a print spooler, or the drawer window "
              "on this drawer).");
        return Busy;
    case OpenFailure::Gone:
        tell(result.error + ": is the device plugged in and switched on?");
        return NotFound;
    default:
        tell(result.error);
        return NoAnswer;
    }
}

} // namespace

OpenedDevice openDevice(const DrawerSettings &settings)
{
    if (settings.endpoint.isNetwork())
        return connectToPrinter(settings.endpoint);
    OpenedDevice opened;
    const std::string &path = settings.endpoint.path;
    if ((opened.exit = checkLocalDevice(path)) != Done)
        return opened;
    OpenResult result = openDeviceNode(settings, false);
    if (result.transport)
        opened.transport = std::move(result.transport);
    else
        opened.exit = openRefusal(path, result);
    return opened;
}

bool hasLevelToRead(const DrawerSettings &settings)
{
    return settings.protocol != Protocol::Trigger || settings.sensorLine != SensorLine::None;
}

Reading readSensor(Transport &transport, DeviceProtocol &protocol, const DrawerSettings &settings)
{
    Reading reading;
    if (settings.protocol == Protocol::Trigger) {
        reading.asked = settings.sensorLine != SensorLine::None;
        if (reading.asked) {
            SerialPort *port = transport.serialPort();
            reading.level
                = port ? port->lineLevel(settings.sensorLine, reading.error) : std::nullopt;
            reading.answered = reading.level.has_value();
        }
        reading.present = transport.isPresent();
        if (!reading.asked)
            reading.answered = reading.present;
        return reading;
    }
    transport.discardInput();
    StatusAnswer answer
        = askStatus(transport, protocol, Clock::now() + std::chrono::milliseconds(AnswerLimitMs));
    reading.answered = answer.answered;
    reading.level = answer.level;
    reading.raw = std::move(answer.raw);
    reading.error = std::move(answer.error);
    reading.present = transport.isPresent();
    return reading;
}

std::string windowWord(const DrawerSettings &settings, const Reading &reading)
{
    // Without a sensor the library asks nothing: a device that is there
    // shows as closed.
    if (settings.sensor == Sensor::None)
        return reading.present ? "closed" : "no answer";
    if (!reading.answered || !reading.level)
        return "no answer";
    return isOpenLevel(settings.sensor, *reading.level) ? "open" : "closed";
}

std::string levelWord(bool high)
{
    return high ? "high" : "low";
}

} // namespace drawerdriver::setup
