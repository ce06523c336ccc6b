// kestrin-drawer-ctl: the drawer service's command-line client, for people
// and scripts. It shows the drawers, fires one, and follows their changes.

#include "busapi.h"
#include "client/drawerstate.h"
#include "client/sdbusref.h"
#include "exitcodes.h"
#include "history.h"
#include "report.h"
#include "tokens.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <pwd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace {

namespace bus = drawerdriver::bus;
using bus::Drawers;
using drawerdriver::DrawerCount;

using namespace drawerctl;

constexpr char Help[] = "usage: kestrin-drawer-ctl COMMAND [OPTION...]\n"
                        "\n"
                        "Commands:\n"
                        "  status                   the configured drawers: number, device,\n"
                        "                           present, open, and since when\n"
                        "  open N [--reason TEXT]   fire drawer N (1 to %d); the reason goes\n"
                        "                           into the service's record\n"
                        "  watch [--json]           one line per change until interrupted;\n"
                        "                           --json: one JSON object per line\n"
                        "  history [--drawer N] [--since WHEN] [--until WHEN] [--csv | --json]\n"
                        "                           the service's record of kicks, refusals,\n"
                        "                           openings and alarms; WHEN is a date, a\n"
                        "                           time, 'today', 'yesterday' or an age: 1h\n"
                        "  report [--day DATE] [--html FILE]\n"
                        "                           one day per drawer: openings, kicks,\n"
                        "                           refusals, time open, alarms; --html also\n"
                        "                           writes a page with the day's timeline\n"
                        "%s"
                        "  help, --help             this text\n"
                        "\n"
                        "Exit status:\n";

// open's deadline for the kick, well inside its own limit on the answer:
// on a slow disk a kick given up at its deadline is answered only once the
// record says it was not sent.
constexpr auto OpenDeadline = std::chrono::milliseconds(2500);
constexpr std::uint64_t OpenTimeLimitUs = 25'000'000;
// watch's limit on the service's answer, which it asks for again.
constexpr std::uint64_t WatchReadTimeoutUs = 2'000'000;

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int)
{
    interrupted = 1;
}

void printHelp(std::FILE *out)
{
    std::fprintf(out, Help, DrawerCount, TokenHelp);
    for (const auto &[code, meaning] : ExitCodes)
        std::fprintf(out, "  %d  %s\n", int(code), meaning);
}

int usage(const std::string &problem)
{
    std::fprintf(stderr, "kestrin-drawer-ctl: %s\n", problem.c_str());
    printHelp(stderr);
    return Usage;
}

std::string userName()
{
    const passwd *user = ::getpwuid(::geteuid());
    return user ? user->pw_name : std::to_string(::geteuid());
}

// The exit status for a failed call, with its message.
int failure(const sd_bus_error &error, int r)
{
    const std::string message = error.message ? error.message : std::strerror(-r);
    if (sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED)) {
        std::fprintf(stderr,
            "kestrin-drawer-ctl: access denied: only root and members of the group %s may open "
            "drawers and read their history.\nAn administrator adds you with: sudo "
            "kestrin-drawer-setup allow %s\n",
            bus::DrawerGroup, userName().c_str());
        return AccessDenied;
    }
    std::fprintf(stderr, "kestrin-drawer-ctl: %s\n", message.c_str());
    if (sd_bus_error_has_names(&error, bus::NotPresentError, bus::BusyError))
        return NotPresentOrBusy;
    if (sd_bus_error_has_name(&error, bus::NotConfiguredError))
        return NotConfigured;
    if (sd_bus_error_has_name(&error, bus::UnknownCallerError))
        return AccessDenied;
    // The service could not read its history, or record the kick: nothing
    // was fired.
    if (sd_bus_error_has_names(
            &error, SD_BUS_ERROR_FAILED, bus::TooLateError, bus::NotRecordedError))
        return CannotWrite;
    std::fprintf(stderr,
        "kestrin-drawer-ctl: the drawer service (kestrin-drawerd) is not running and could not "
        "be started; is the kestrin-drawer package installed?\n");
    return NoService;
}

// The drawers, and the unique name of the service that told them.
int readDrawers(sd_bus *connection, Drawers &drawers, std::string *owner = nullptr)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    drawerdriver::MessageRef reply;
    int r = sd_bus_call_method(connection, bus::ServiceName, bus::ManagerPath,
        bus::ObjectManagerInterface, bus::GetManagedObjectsMethod, &error, reply.out(), "");
    drawers = {};
    if (r >= 0 && (r = bus::readManagedObjects(reply, drawers)) < 0)
        sd_bus_error_set_errno(&error, r);
    const int status = r < 0 ? failure(error, r) : Done;
    if (owner && status == Done && sd_bus_message_get_sender(reply))
        *owner = sd_bus_message_get_sender(reply);
    sd_bus_error_free(&error);
    return status;
}

std::string timeText(std::uint64_t us, bool iso)
{
    if (us == 0)
        return "-";
    const std::time_t seconds = std::time_t(us / 1'000'000);
    std::tm parts {};
    char text[48];
    if (iso) {
        ::gmtime_r(&seconds, &parts);
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
        char millis[8];
        std::snprintf(millis, sizeof millis, ".%03uZ", unsigned(us / 1000 % 1000));
        return std::string(text) + millis;
    }
    ::localtime_r(&seconds, &parts);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

const char *openText(const bus::DrawerState &drawer)
{
    if (!drawer.hasSensor)
        return "no sensor";
    if (!drawer.present)
        return "-";
    return drawer.open ? "open" : "closed";
}

int status(sd_bus *connection)
{
    Drawers drawers;
    if (const int failed = readDrawers(connection, drawers))
        return failed;
    bool any = false;
    for (const auto &drawer : drawers) {
        if (!drawer.configured)
            continue;
        if (!any)
            std::printf(
                "%-7s %-32s %-8s %-10s %s\n", "DRAWER", "DEVICE", "PRESENT", "OPEN", "SINCE");
        any = true;
        std::printf("%-7d %-32s %-8s %-10s %s\n", drawer.number, drawer.device.c_str(),
            drawer.present ? "yes" : "no", openText(drawer),
            timeText(drawer.changedUs, false).c_str());
    }
    if (!any)
        std::printf("No drawer is configured (see kestrin-drawer-setup(1)).\n");
    return Done;
}

// The service fires only before the deadline, so a "fired" is the truth,
// and so is a refusal; no answer at all says nothing more.
int open(sd_bus *connection, int number, const std::string &reason)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const auto deadline = std::chrono::duration_cast<std::chrono::microseconds>(
        (std::chrono::steady_clock::now() + OpenDeadline).time_since_epoch());
    drawerdriver::MessageRef call;
    int r = sd_bus_message_new_method_call(connection, call.out(), bus::ServiceName,
        bus::drawerPath(number).c_str(), bus::DrawerInterface, bus::OpenBeforeMethod);
    if (r >= 0)
        r = sd_bus_message_append(call, "st", reason.c_str(), std::uint64_t(deadline.count()));
    if (r >= 0)
        r = sd_bus_call(connection, call, OpenTimeLimitUs, &error, nullptr);
    int result = Done;
    if (r == -ETIMEDOUT
        || sd_bus_error_has_names(&error, SD_BUS_ERROR_TIMEOUT, SD_BUS_ERROR_NO_REPLY)) {
        std::fprintf(stderr,
            "kestrin-drawer-ctl: the drawer service did not answer; it fires nothing after "
            "%lld ms, but has not said whether drawer %d fired; see 'kestrin-drawer-ctl "
            "history'\n",
            static_cast<long long>(OpenDeadline.count()), number);
        result = CannotWrite;
    } else if (r < 0) {
        result = failure(error, r);
    }
    sd_bus_error_free(&error);
    if (result == Done)
        std::printf("Drawer %d fired.\n", number);
    return result;
}

struct Watch {
    bool json = false;
    Drawers drawers;
    std::string owner; // the service's unique name: its signals alone are shown
    sd_bus_slot *fromOwner = nullptr;
    // A reading of the drawers that failed is tried again then, while the
    // service has an owner.
    int failedReads = 0;
    std::chrono::steady_clock::time_point retryAt {};
};

void printLine(const Watch &watch, const bus::DrawerState &drawer, const char *event)
{
    if (watch.json) {
        const std::string changed
            = drawer.changedUs ? '"' + timeText(drawer.changedUs, true) + '"' : "null";
        std::printf("{\"drawer\":%d,\"present\":%s,\"open\":%s,\"changed\":%s", drawer.number,
            drawer.present ? "true" : "false", drawer.open ? "true" : "false", changed.c_str());
        if (event)
            std::printf(",\"event\":\"%s\"", event);
        std::printf("}\n");
    } else {
        std::printf("%s drawer %d %s %s%s%s\n", timeText(drawer.changedUs, true).c_str(),
            drawer.number, drawer.present ? "present" : "absent", openText(drawer),
            event ? " " : "", event ? event : "");
    }
    std::fflush(stdout);
}

void printAll(const Watch &watch, const char *event)
{
    for (const auto &drawer : watch.drawers)
        if (drawer.configured)
            printLine(watch, drawer, event);
}

int onDrawerSignal(sd_bus_message *signal, void *userdata, sd_bus_error *)
{
    auto &watch = *static_cast<Watch *>(userdata);
    const int number = bus::drawerNumber(sd_bus_message_get_path(signal));
    const char *sender = sd_bus_message_get_sender(signal);
    // Anyone may send a signal straight to this connection; and changes
    // wait for a reading of the drawers that failed.
    if (number == 0 || !sender || watch.owner != sender || watch.failedReads > 0)
        return 0;
    bus::DrawerState &drawer = watch.drawers[number - 1];
    if (sd_bus_message_is_signal(signal, bus::PropertiesInterface, bus::PropertiesChangedSignal)) {
        if (bus::readPropertiesChanged(signal, drawer) >= 0)
            printLine(watch, drawer, nullptr);
    } else {
        // The service's other signals, such as alarms, as events.
        printLine(watch, drawer, sd_bus_message_get_member(signal));
    }
    return 0;
}

// Signals are taken from the service's current owner only.
void followOwner(sd_bus *connection, Watch &watch, const std::string &owner)
{
    watch.owner = owner;
    watch.fromOwner = sd_bus_slot_unref(watch.fromOwner);
    const std::string rule
        = "type='signal',sender='" + owner + "',path_namespace='" + bus::ManagerPath + "'";
    if (!owner.empty()
        && sd_bus_add_match(connection, &watch.fromOwner, rule.c_str(), onDrawerSignal, &watch) < 0)
        std::fprintf(stderr, "kestrin-drawer-ctl: cannot follow the drawer service's signals\n");
}

// Reads the drawers of the service that just started; a reading that fails
// is tried again, further apart each time, up to every 30 s.
void readStartedService(sd_bus *connection, Watch &watch)
{
    const std::string owner = watch.owner;
    if (readDrawers(connection, watch.drawers, &watch.owner) == Done && watch.owner == owner) {
        watch.failedReads = 0;
        printAll(watch, "service-started");
        return;
    }
    watch.owner = owner;
    watch.failedReads = std::min(watch.failedReads + 1, 7);
    watch.retryAt = std::chrono::steady_clock::now()
        + std::chrono::milliseconds(500 << (watch.failedReads - 1));
}

int onOwnerChanged(sd_bus_message *signal, void *userdata, sd_bus_error *)
{
    auto &watch = *static_cast<Watch *>(userdata);
    const char *sender = sd_bus_message_get_sender(signal);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    // Only the bus itself says who owns a name.
    if (!sender || std::strcmp(sender, "org.freedesktop.DBus") != 0
        || sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0
        || std::strcmp(name, bus::ServiceName) != 0 || watch.owner == newOwner)
        return 0;
    followOwner(sd_bus_message_get_bus(signal), watch, newOwner);
    watch.failedReads = 0;
    if (*newOwner) {
        readStartedService(sd_bus_message_get_bus(signal), watch);
        return 0;
    }
    for (auto &drawer : watch.drawers)
        drawer.present = drawer.open = false;
    printAll(watch, "service-stopped");
    return 0;
}

// How long sd_bus_wait may wait: until a failed reading is due again.
std::uint64_t watchTimeout(const Watch &watch)
{
    if (watch.failedReads == 0 || watch.owner.empty())
        return UINT64_MAX;
    const auto left = watch.retryAt - std::chrono::steady_clock::now();
    return std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
}

int watch(sd_bus *connection, bool json)
{
    Watch watch;
    watch.json = json;
    // A service that does not answer is asked again rather than waited for.
    sd_bus_set_method_call_timeout(connection, WatchReadTimeoutUs);
    const std::string owner = std::string("type='signal',sender='org.freedesktop.DBus',")
        + "member='NameOwnerChanged',arg0='" + bus::ServiceName + "'";
    if (sd_bus_add_match(connection, nullptr, owner.c_str(), onOwnerChanged, &watch) < 0) {
        std::fprintf(stderr, "kestrin-drawer-ctl: cannot follow the drawer service's signals\n");
        return NoService;
    }
    if (const int failed = readDrawers(connection, watch.drawers, &watch.owner))
        return failed;
    followOwner(connection, watch, watch.owner);
    printAll(watch, nullptr);
    while (!interrupted) {
        if (watch.failedReads > 0 && watchTimeout(watch) == 0)
            readStartedService(connection, watch);
        int r = sd_bus_process(connection, nullptr);
        if (r > 0)
            continue;
        if (r >= 0)
            r = sd_bus_wait(connection, watchTimeout(watch));
        if (r < 0 && r != -EINTR) {
            std::fprintf(
                stderr, "kestrin-drawer-ctl: lost the system bus: %s\n", std::strerror(-r));
            return NoService;
        }
    }
    sd_bus_slot_unref(watch.fromOwner);
    return Done;
}

int readRecord(sd_bus *connection, const drawerctl::HistoryOptions *history,
    const drawerctl::ReportOptions &report)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = history ? drawerctl::runHistory(connection, *history, &error)
                          : drawerctl::runReport(connection, report, &error);
    const int result = r < 0 ? failure(error, r) : r;
    sd_bus_error_free(&error);
    return result;
}

// A command and its options, as its words gave them.
struct Command {
    std::string_view name;
    int number = 0;
    bool json = false;
    std::string reason;
    drawerctl::HistoryOptions history;
    drawerctl::ReportOptions report;
};

std::string parseOpen(int argc, char *argv[], Command &command)
{
    command.number = argc < 3 ? 0 : bus::parseDrawerNumber(argv[2]);
    if (command.number == 0)
        return "open needs a drawer number, 1 to " + std::to_string(DrawerCount);
    command.reason = "kestrin-drawer-ctl, user " + userName();
    for (int i = 3; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--reason" && i + 1 < argc)
            command.reason = argv[++i];
        else if (option.substr(0, 9) == "--reason=")
            command.reason = option.substr(9);
        else
            return "unknown option '" + std::string(option) + "' for open";
    }
    return {};
}

std::string parseWatch(int argc, char *argv[], Command &command)
{
    for (int i = 2; i < argc; ++i) {
        if (std::string_view(argv[i]) != "--json")
            return "unknown option '" + std::string(argv[i]) + "' for watch";
        command.json = true;
    }
    return {};
}

// The command after the program's name; an empty problem when its words
// are fine.
std::string parseCommand(int argc, char *argv[], Command &command)
{
    command.name = argv[1];
    if (command.name == "open")
        return parseOpen(argc, argv, command);
    if (command.name == "watch")
        return parseWatch(argc, argv, command);
    if (command.name == "history")
        return drawerctl::parseHistoryOptions(argc - 2, argv + 2, command.history);
    if (command.name == "report")
        return drawerctl::parseReportOptions(argc - 2, argv + 2, command.report);
    if (command.name == "status")
        return argc > 2 ? "status takes no options" : "";
    return "unknown command '" + std::string(command.name) + "'";
}

int run(sd_bus *connection, const Command &command)
{
    if (command.name == "status")
        return status(connection);
    if (command.name == "open")
        return open(connection, command.number, command.reason);
    if (command.name == "history" || command.name == "report")
        return readRecord(
            connection, command.name == "history" ? &command.history : nullptr, command.report);
    return watch(connection, command.json);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return usage("a command is needed");
    const std::string_view name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") {
        printHelp(stdout);
        return Done;
    }
    if (name == "token")
        return tokenCommand(argc - 1, argv + 1);
    Command command;
    if (const std::string problem = parseCommand(argc, argv, command); !problem.empty())
        return usage(problem);

    drawerdriver::BusRef connection;
    if (const int r = sd_bus_open_system(connection.out()); r < 0) {
        std::fprintf(stderr,
            "kestrin-drawer-ctl: cannot reach the system bus (%s), so the drawer service is not "
            "running\n",
            std::strerror(-r));
        return NoService;
    }
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return run(connection, command);
}
