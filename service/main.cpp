// kestrin-drawerd: the system service that owns the cash drawers of
// drawers.conf and serves them on the system bus (names in busapi.h).
// Installed, systemd starts it when the first client asks; started by hand
// it runs as whoever starts it, on the bus DBUS_SYSTEM_BUS_ADDRESS names.

#include "busapi.h"
#include "client/sdbusref.h"
#include "config/config.h"
#include "drawerservice.h"
#include "journal.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

namespace {

int usage(std::FILE *out, int status)
{
    std::fprintf(out,
        "usage: kestrin-drawerd [--help]\n"
        "Serves the cash drawers of %s (or of the file KESTRIN_DRAWERS_CONF\n"
        "names) on the system bus as %s. SIGHUP, the Reload()\n"
        "method and a change to the file make it read the file again.\n"
        "See kestrin-drawer-ctl(1).\n",
        drawerdriver::DefaultConfigPath, drawerdriver::bus::ServiceName);
    return status;
}

int onStop(sd_event_source *source, const struct signalfd_siginfo *, void *)
{
    return sd_event_exit(sd_event_source_get_event(source), 0);
}

// The loop's part of the setup: each step checked, since a service without
// its stop signals or its watchdog must not run on as if it had them.
int setUpLoop(sd_event *event, sd_bus *bus)
{
    int r = drawerservice::checked(
        sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL), "attach the bus to the loop");
    if (r >= 0)
        r = drawerservice::checked(
            sd_bus_set_exit_on_disconnect(bus, 1), "make the bus end the loop when it goes");
    for (int signal : {SIGTERM, SIGINT})
        if (r >= 0)
            r = drawerservice::checked(sd_event_add_signal(event, nullptr, signal, onStop, nullptr),
                signal == SIGTERM ? "watch for SIGTERM" : "watch for SIGINT");
    // Under systemd with WatchdogSec=, the loop tells it that it still runs;
    // a loop that hangs is then restarted.
    if (r >= 0)
        r = drawerservice::checked(sd_event_set_watchdog(event, 1), "start the watchdog");
    return r;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return usage(stdout, 0);
    if (argc > 1)
        return usage(stderr, 2);

    drawerservice::startLogging();
    // Blocked before any thread starts, so the event loop alone takes them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGHUP, SIGTERM, SIGINT})
        sigaddset(&signals, signal);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // The bus goes before the event loop it is attached to.
    drawerdriver::EventRef event;
    drawerdriver::BusRef bus;
    int r = sd_event_default(event.out());
    if (r >= 0)
        r = sd_bus_open_system(bus.out());
    if (drawerservice::checked(r, "connect to the system bus") < 0 || setUpLoop(event, bus) < 0) {
        return 1;
    }

    int status = 0;
    {
        drawerservice::DrawerService service(event, bus, drawerdriver::drawerConfigPath());
        r = service.start();
        if (r >= 0) {
            r = sd_event_loop(event);
            // A stop signal ends the loop with 0; a bus that went away, with 1.
            if (r > 0)
                drawerservice::logLine(LOG_ERR, "the system bus closed the connection");
            drawerservice::checked(r, "go on serving the drawers");
        }
        status = r != 0 ? 1 : 0;
        // Clients learn at once that the drawers are gone, before the
        // monitors have let go of their devices.
        sd_bus_release_name(bus, drawerdriver::bus::ServiceName);
        sd_bus_flush(bus);
    }
    return status;
}
