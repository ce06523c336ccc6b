// The drawer library's own figures, against printers played on 127.0.0.1 and
// on a pseudo-terminal:
//   driver-bench latency LIBRARY   each entry point's latency while the
//                                  printer answers, is silent and is gone;
//                                  sensor change to answer; status round trips
//   driver-bench serve             a network printer for the program to poll:
//                                  prints its address, serves until stdin ends
//   driver-bench service LIBRARY SERVICE CTL
//                                  the library as a client of kestrin-drawerd
//                                  on a private system-like bus: sensor change
//                                  and kick delivery through the service, the
//                                  entry points, and the service's idle cost
//                                  and the printer's traffic with one and with
//                                  ten clients following every drawer
// Every figure is printed as one line of words and milliseconds.

#include "drawer/drawerapi.h"
#include "protocols/exchange.h"
#include "support/fakenetworkprinter.h"
#include "support/ptyprinter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <csignal>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

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
void kickDeliveries(
    const Library &library, FakeNetworkPrinter &printer, std::int32_t handle, int pulseMs = 0)
{
    std::vector<double> delays;
    for (int kick = 0; kick < 50; ++kick) {
        const int before = printer.kicks();
        const auto start = Clock::now();
        library.openDrawer(handle);
        while (printer.kicks() == before && Clock::now() - start < 2s)
            std::this_thread::sleep_for(100us);
        delays.push_back(milliseconds(Clock::now() - start));
        std::this_thread::sleep_for(std::chrono::milliseconds(pulseMs + 20 + kick % 80));
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

Library load(const char *libraryPath)
{
    Library library;
    void *handle = ::dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "driver-bench: %s\n", ::dlerror());
        return library;
    }
    library.getHandle
        = reinterpret_cast<decltype(library.getHandle)>(::dlsym(handle, "GetDrawerHandle"));
    library.release
        = reinterpret_cast<decltype(library.release)>(::dlsym(handle, "ReleaseDrawerHandle"));
    library.status = reinterpret_cast<decltype(library.status)>(::dlsym(handle, "GetDrawerStatus"));
    library.openDrawer
        = reinterpret_cast<decltype(library.openDrawer)>(::dlsym(handle, "OpenDrawer"));
    return library;
}

int latency(const char *libraryPath)
{
    char conf[] = "/tmp/kestrin-driver-bench-XXXXXX";
    const int fd = ::mkstemp(conf);
    if (fd < 0)
        return 1;
    ::close(fd);
    ::setenv("KESTRIN_DRAWERS_CONF", conf, 1);
    const Library library = load(libraryPath);
    if (!library.getHandle)
        return 1;

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

pid_t spawn(const std::vector<std::string> &arguments)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

bool succeeds(const std::vector<std::string> &arguments)
{
    int status = 0;
    const pid_t pid = spawn(arguments);
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)
        && WEXITSTATUS(status) == 0;
}

void end(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

// Nanoseconds of CPU time the process's threads have used, from the
// scheduler's own account, finer than the clock ticks of /proc/PID/stat.
long long cpuNanoseconds(pid_t pid)
{
    long long total = 0;
    std::error_code failed;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &task : std::filesystem::directory_iterator(tasks, failed)) {
        long long ran = 0;
        std::ifstream(task.path() / "schedstat") >> ran;
        total += ran;
    }
    return total;
}

// How often a thread has gone to sleep and woken again: the count of its
// voluntary context switches, which a busy machine does not change.
long long wakeUps(pid_t pid, pid_t thread)
{
    std::ifstream status(
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, key.size(), key) == 0)
            return std::stoll(line.substr(key.size()));
    return 0;
}

// The service's CPU time (ms a second), its main thread's wake-ups and the
// printer's status requests (a second) over ten idle seconds, with the
// given clients following.
void idleWithClients(pid_t service, FakeNetworkPrinter &printer, const std::string &ctl, int count)
{
    std::vector<pid_t> clients;
    for (int i = 0; i < count; ++i)
        clients.push_back(spawn({ctl, "watch"}));
    std::this_thread::sleep_for(1s);
    const long long used = cpuNanoseconds(service);
    const long long woken = wakeUps(service, service);
    const int requests = printer.statusRequests();
    std::this_thread::sleep_for(10s);
    const double cpu = double(cpuNanoseconds(service) - used) / 1e6 / 10;
    const double wakes = double(wakeUps(service, service) - woken) / 10;
    const double rate = double(printer.statusRequests() - requests) / 10;
    for (pid_t client : clients)
        end(client);
    const std::string clientsText = std::to_string(count) + (count == 1 ? " client" : " clients");
    print("service idle-cpu " + clientsText, {cpu});
    print("service wake-ups " + clientsText, {wakes});
    print("service requests " + clientsText, {rate});
}

// A private bus with the system bus's rules and the package's policy.
pid_t startBus(const std::string &folder, std::string &address)
{
    std::ifstream templ(SYSTEM_BUS_TEMPLATE);
    std::string config((std::istreambuf_iterator<char>(templ)), {});
    const auto replace = [&](const std::string &from, const std::string &to) {
        config.replace(config.find(from), from.size(), to);
    };
    replace("@SOCKET@", folder + "/bus");
    replace("@SERVICEDIR@", folder);
    replace("@POLICY@", BUS_POLICY);
    std::ofstream(folder + "/bus.conf") << config;
    address = "unix:path=" + folder + "/bus";
    const pid_t bus = spawn({"dbus-daemon", "--nofork", "--config-file=" + folder + "/bus.conf"});
    for (int tick = 0; tick < 100 && ::access((folder + "/bus").c_str(), F_OK) != 0; ++tick)
        std::this_thread::sleep_for(20ms);
    return bus;
}

int service(const char *libraryPath, const std::string &serviceProgram, const std::string &ctl)
{
    char folder[] = "/tmp/kestrin-service-bench-XXXXXX";
    if (!::mkdtemp(folder))
        return 1;
    FakeNetworkPrinter printer;
    const std::string conf = std::string(folder) + "/drawers.conf";
    // A short pulse, so that kicks may follow each other quickly.
    std::ofstream(conf) << "[drawer 1]\ndevice = " << printer.address()
                        << "\nsensor = open-high\npulse-on = 10\npulse-off = 40\n";
    std::string address;
    const pid_t bus = startBus(folder, address);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    ::setenv("KESTRIN_DRAWERS_CONF", conf.c_str(), 1);
    ::setenv("STATE_DIRECTORY", folder, 1); // the service's history
    const pid_t daemon = bus > 0 ? spawn({serviceProgram}) : -1;
    // The library follows the service only without a file of its own, and
    // this bus cannot start it: it must be there first.
    ::unsetenv("KESTRIN_DRAWERS_CONF");
    for (int tick = 0; tick < 100 && !succeeds({ctl, "status"}); ++tick)
        std::this_thread::sleep_for(50ms);
    const Library library = load(libraryPath);
    std::int32_t drawer = 0;
    if (library.getHandle && daemon > 0)
        drawer = connect(library);
    if (drawer <= 0) {
        std::fprintf(
            stderr, "driver-bench: the library does not reach the drawer through the service\n");
    } else {
        sensorChanges(library, printer, drawer);
        kickDeliveries(library, printer, drawer, 60);
        entryPointLatencies(library, "service", drawer);
        idleWithClients(daemon, printer, ctl, 1);
        idleWithClients(daemon, printer, ctl, 10);
        library.release(drawer);
    }
    end(daemon);
    end(bus);
    std::filesystem::remove_all(folder);
    return drawer > 0 ? 0 : 1;
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
    if (argc == 5 && std::string(argv[1]) == "service")
        return service(argv[2], argv[3], argv[4]);
    std::fprintf(stderr,
        "usage: driver-bench latency LIBRARY | driver-bench serve\n"
        "       driver-bench service LIBRARY SERVICE CTL\n");
    return 2;
}
