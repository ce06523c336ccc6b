// kestrin, the print spooler's backend for the drawers' receipt printers:
// device URIs kestrin:/N print on drawer N's printer through the drawer
// service's Print, so that the service stays the printer's one owner, keeps
// the drawer's state while receipts print and records every kick inside a
// job. Run with no arguments, it lists one device per configured printer
// drawer. See backend(7) for the conventions it follows.
#include "busapi.h"
#include "client/sdbusref.h"
#include "config/config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace {

namespace bus = drawerdriver::bus;
using drawerdriver::BusRef;
using drawerdriver::MessageRef;

// The spooler's exit codes for a backend (backend(7)).
enum BackendExit : int {
    BackendOk = 0,
    BackendFailed = 1,
    BackendStop = 4,
    BackendCancel = 5,
    BackendRetry = 6,
};

constexpr std::string_view Scheme = "kestrin:/";
// The service answers once the printer has taken the job's last byte, after
// the jobs before it: a long job on a slow printer takes minutes.
constexpr std::uint64_t PrintTimeoutUs = 30ull * 60 * 1'000'000;
// More copies of a receipt than this are a slip of the keyboard.
constexpr int MostCopies = 100;

// A field of a device line, quoted as backend(7) wants: " and \ escaped.
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += (c == '\n' || c == '\r') ? ' ' : c;
    }
    return out + '"';
}

// One line per drawer of drawers.conf on a receipt printer: drawers of a
// drawer-trigger box or HID drawers have no printer to print on.
int listDevices()
{
    const drawerdriver::DrawerConfig config
        = drawerdriver::loadDrawerConfig(drawerdriver::drawerConfigPath());
    for (int i = 0; i < drawerdriver::DrawerCount; ++i) {
        const auto &drawer = config.drawers[std::size_t(i)];
        if (!drawer || drawer->protocol == drawerdriver::Protocol::Hid
            || drawer->protocol == drawerdriver::Protocol::Trigger)
            continue;
        const std::string number = std::to_string(i + 1);
        std::printf("direct %s%s %s %s\n", Scheme.data(), number.c_str(),
            quoted("Kestrin drawer service receipt printer").c_str(),
            quoted("Receipt printer of drawer " + number + " (" + drawer->device + ")").c_str());
    }
    return BackendOk;
}

// The drawer a device URI names: kestrin:/N, or 0.
int drawerOfUri(const char *uri)
{
    const std::string_view text = uri ? uri : "";
    if (text.substr(0, Scheme.size()) != Scheme)
        return 0;
    return bus::parseDrawerNumber(text.substr(Scheme.size()));
}

// What the spooler does with a job whose Print failed: a service that is
// not there, a printer that is gone and a kick that cannot be recorded yet
// are passing, and the job waits; a queue pointed at a drawer that cannot
// print stops; a job too large, or one that can never print as it is, is
// given up rather than tried again and again.
int exitFor(const sd_bus_error &error)
{
    if (sd_bus_error_has_names(&error, bus::NotConfiguredError, bus::NotAPrinterError,
            SD_BUS_ERROR_ACCESS_DENIED, SD_BUS_ERROR_UNKNOWN_METHOD, SD_BUS_ERROR_UNKNOWN_OBJECT))
        return BackendStop;
    if (sd_bus_error_has_names(
            &error, bus::TooLargeError, bus::BadJobError, SD_BUS_ERROR_INVALID_ARGS))
        return BackendCancel;
    return BackendRetry;
}

std::string advice(const sd_bus_error &error)
{
    if (sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED))
        return "the system bus does not let the spooler's account print through the drawer "
               "service: is the kestrin-drawerd package's bus policy installed?";
    if (sd_bus_error_has_name(&error, bus::NotConfiguredError))
        return "the drawer is not configured in drawers.conf (kestrin-drawer-setup set N "
               "device=DEVICE)";
    // The service's own errors say why in words; the bus's mean that it is
    // not there, could not be started, or did not answer.
    if (!error.name || std::strncmp(error.name, bus::ServiceName, std::strlen(bus::ServiceName)))
        return std::string("the drawer service is not running or does not answer (")
            + (error.name ? error.name : "no reply") + ")";
    return error.message ? error.message : (error.name ? error.name : "unknown error");
}

// The job's file, or the standard input the filters write to.
int openJob(int argc, char **argv)
{
    if (argc < 7)
        return STDIN_FILENO;
    const int fd = ::open(argv[6], O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        std::fprintf(
            stderr, "ERROR: Unable to open the print file %s: %s\n", argv[6], std::strerror(errno));
    return fd;
}

// One Print call: the job's bytes, its title and user. The service's id
// for the job, or the exit code for the spooler where it failed.
int printOnce(sd_bus *connection, int drawer, int job, const std::string &title, const char *user)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    MessageRef call;
    MessageRef reply;
    std::uint64_t id = 0;
    int r = sd_bus_message_new_method_call(connection, call.out(), bus::ServiceName,
        bus::drawerPath(drawer).c_str(), bus::DrawerInterface, bus::PrintMethod);
    if (r >= 0)
        r = sd_bus_message_append(call, "hss", job, title.c_str(), user);
    if (r >= 0)
        r = sd_bus_call(connection, call, PrintTimeoutUs, &error, reply.out());
    if (r >= 0)
        r = sd_bus_message_read(reply, "t", &id);
    int exit = BackendOk;
    if (r < 0) {
        if (!sd_bus_error_is_set(&error))
            sd_bus_error_set_errno(&error, r);
        exit = exitFor(error);
        std::fprintf(stderr, "ERROR: Drawer %d's printer: %s%s\n", drawer, advice(error).c_str(),
            exit == BackendRetry ? "; the job waits and prints later" : "");
    } else {
        std::fprintf(stderr, "INFO: Printed as the drawer service's job %llu\n",
            static_cast<unsigned long long>(id));
    }
    sd_bus_error_free(&error);
    return exit;
}

int printJob(int argc, char **argv)
{
    const char *uri = std::getenv("DEVICE_URI");
    const int drawer = drawerOfUri(uri ? uri : argv[0]);
    if (drawer == 0) {
        std::fprintf(stderr, "ERROR: The device URI is not kestrin:/N with N 1 to %d\n",
            drawerdriver::DrawerCount);
        return BackendStop;
    }
    // The record names the job as the spooler does: queue-id and title.
    const char *queue = std::getenv("PRINTER");
    const std::string title = std::string(queue && *queue ? queue : "job") + "-" + argv[1]
        + (*argv[3] ? std::string(": ") + argv[3] : std::string());
    // Given a file, a backend makes the copies; from standard input, the
    // filters have made them.
    const int copies = argc == 7 ? std::clamp(std::atoi(argv[4]), 1, MostCopies) : 1;

    BusRef connection;
    const int r = sd_bus_open_system(connection.out());
    if (r < 0) {
        std::fprintf(stderr, "ERROR: Unable to reach the system bus: %s; the job waits\n",
            std::strerror(-r));
        return BackendRetry;
    }
    std::fprintf(
        stderr, "INFO: Printing on drawer %d's printer through the drawer service\n", drawer);
    for (int copy = 0; copy < copies; ++copy) {
        const int job = openJob(argc, argv);
        if (job < 0)
            return BackendFailed;
        const int exit = printOnce(connection, drawer, job, title, argv[2]);
        if (job != STDIN_FILENO)
            ::close(job);
        if (exit != BackendOk)
            return exit;
    }
    return BackendOk;
}

} // namespace

int main(int argc, char **argv)
{
    // Messages reach the spooler's log line by line, as they are written.
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    if (argc == 1)
        return listDevices();
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr,
            "Usage: %s job-id user title copies options [file]\n"
            "(run by the print spooler; with no arguments it lists its devices)\n",
            argv[0]);
        return BackendFailed;
    }
    return printJob(argc, argv);
}
