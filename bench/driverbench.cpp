// The drawer library's own figures, against printers played on 127.0.0.1 and
// on a pseudo-terminal:
//   driver-bench latency LIBRARY   each entry point's latency while the
//                                  printer answers, is silent and is gone;
//                                  sensor change to answer; status round trips
//   driver-bench serve             a network printer for the program to poll:
//                                  prints its address, serves until stdin ends
// Every figure is printed as one line of words and milliseconds.

#include "drawer/drawerapi.h"
#include "protocols/exchange.h"
#include "support/fakenetworkprinter.h"
#include "support/ptyprinter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Library {
    decltype(&::GetDrawerHandle) getHandle = nullptr;
    decltype(&::ReleaseDrawerHandle) release = nullptr;
    decltype(&::GetDrawerStatus) status = nullptr;
    decltype(&::OpenDrawer) openDrawer = nullptr;
};

double milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(double(values.size()) * share))];
}

void print(const std::string &name, const std::vector<double> &values)
{
    std::printf("%s %.3f %.3f %.3f %zu\n", name.c_str(), percentile(values, 0.5),
        percentile(values, 0.99), percentile(values, 1.0), values.size());
    std::fflush(stdout);
}

void configure(const std::string &path, const std::string &device)
{
    std::ofstream(path) << "[drawer 1]\ndevice = " << device << "\nsensor = open-high\n";
}

std::int32_t connect(const Library &library)
{
    for (int tick = 0; tick < 100; ++tick) {
        if (const std::int32_t handle = library.getHandle(0); handle > 0)
            return handle;
        std::this_thread::sleep_for(100ms);
    }
    return 0;
}

// Each entry point, called at a brisk caller's pace for two seconds.
void entryPointLatencies(const Library &library, const std::string &state, std::int32_t handle)
{
    std::vector<double> acquire, release, status, open;
    const auto timed = [](std::vector<double> &into, const std::function<void()> &call) {
        const auto start = Clock::now();
        call();
        into.push_back(milliseconds(Clock::now() - start));
    };
    for (const auto end = Clock::now() + 2s; Clock::now() < end;) {
        std::int32_t extra = 0;
        timed(acquire, [&] { extra = library.getHandle(0); });
        timed(release, [&] { library.release(extra); });
        timed(status, [&] { library.status(handle); });
        timed(open, [&] { library.openDrawer(handle); });
        std::this_thread::sleep_for(1ms);
    }
    print("latency " + state + " GetDrawerHandle", acquire);
    print("latency " + state + " ReleaseDrawerHandle", release);
    print("latency " + state + " GetDrawerStatus", status);
    print("latency " + state + " OpenDrawer", open);
}

// From the moment the printer's sensor flips to the first GetDrawerStatus
// that shows it.
void sensorChanges(const Library &library, FakeNetworkPrinter &printer, std::int32_t handle)
{
    std::vector<double> delays;
    std::mt19937 random(7);
    for (int change = 0; change < 100; ++change) {
        const bool high = !printer.sensorHigh;
        printer.sensorHigh = high;
        const auto start = Clock::now();
        while (library.status(handle) != (high ? 2 : 1) && Clock::now() - start < 2s)
            std::this_thread::sleep_for(100us);
        delays.push_back(milliseconds(Clock::now() - start));
        // Out of step with the monitor's polls.
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
    }
    print("sensor-change", delays);
}

// From OpenDrawer to the kick arriving at the printer.
void kickDeliveries(const Library &library, FakeNetworkPrinter &printer, std::int32_t handle)
{
    std::vector<double> delays;
    for (int kick = 0; kick < 50; ++kick) {
        const int before = printer.kicks();
        const auto start = Clock::now();
        library.openDrawer(handle);
        while (printer.kicks() == before && Clock::now() - start < 2s)
            std::this_thread::sleep_for(100us);
        delays.push_back(milliseconds(Clock::now() - start));
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + kick % 80));
    }
    print("kick-delivery", delays);
}

// Status question to answer on one connection, as each poll asks it.
void roundTrips(drawerdriver::Transport &transport, const std::string &name)
{
    const auto protocol = drawerdriver::makeEscPos(false);
    std::vector<double> trips;
    for (int trip = 0; trip < 1000; ++trip) {
        const auto start = Clock::now();
        const auto answer = drawerdriver::askStatus(transport, *protocol, start + 250ms);
        if (!answer.answered)
            return;
        trips.push_back(milliseconds(Clock::now() - start));
    }
    print("roundtrip " + name, trips);
}

int latency(const char *libraryPath)
{
    char conf[] = "/tmp/kestrin-driver-bench-XXXXXX";
    const int fd = ::mkstemp(conf);
    if (fd < 0)
        return 1;
    ::close(fd);
    ::setenv("KESTRIN_DRAWERS_CONF", conf, 1);
    void *handle = ::dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "driver-bench: %s\n", ::dlerror());
        return 1;
    }
    Library library;
    library.getHandle
        = reinterpret_cast<decltype(library.getHandle)>(::dlsym(handle, "GetDrawerHandle"));
    library.release
        = reinterpret_cast<decltype(library.release)>(::dlsym(handle, "ReleaseDrawerHandle"));
    library.status = reinterpret_cast<decltype(library.status)>(::dlsym(handle, "GetDrawerStatus"));
    library.openDrawer
        = reinterpret_cast<decltype(library.openDrawer)>(::dlsym(handle, "OpenDrawer"));

    for (const std::string state : {"answering", "silent", "gone"}) {
        FakeNetworkPrinter printer;
        configure(conf, printer.address());
        const std::int32_t drawer = connect(library);
        if (drawer <= 0) {
            std::fprintf(stderr, "driver-bench: the network printer does not connect\n");
            return 1;
        }
        if (state == "answering") {
            sensorChanges(library, printer, drawer);
            kickDeliveries(library, printer, drawer);
        } else if (state == "silent")
            printer.mode = FakeNetworkPrinter::Mode::Silent;
        else
            printer.vanish();
        entryPointLatencies(library, state, drawer);
        library.release(drawer);
    }
    ::unlink(conf);

    FakeNetworkPrinter printer;
    std::string error;
    const drawerdriver::Endpoint endpoint {{}, "127.0.0.1", printer.port()};
    if (const auto addresses = drawerdriver::resolveNetworkAddresses(endpoint, error);
        !addresses.empty()) {
        int neverWakes[2];
        if (::pipe(neverWakes) == 0) {
            if (auto connection
                = drawerdriver::connectNetwork(endpoint, addresses.front(), 200, neverWakes[0])
                      .transport)
                roundTrips(*connection, "tcp");
            ::close(neverWakes[0]);
            ::close(neverWakes[1]);
        }
    }
    PtyPrinter serial;
    drawerdriver::DrawerSettings settings;
    settings.endpoint.path = serial.device;
    if (auto port = drawerdriver::openDeviceNode(settings, true).transport)
        roundTrips(*port, "pty");
    return 0;
}

int serve()
{
    FakeNetworkPrinter printer;
    std::printf("%s\n", printer.address().c_str());
    std::fflush(stdout);
    char ignored[64];
    while (std::fread(ignored, 1, sizeof ignored, stdin) > 0) { }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && std::string(argv[1]) == "latency")
        return latency(argv[2]);
    if (argc == 2 && std::string(argv[1]) == "serve")
        return serve();
    std::fprintf(stderr, "usage: driver-bench latency LIBRARY | driver-bench serve\n");
    return 2;
}
