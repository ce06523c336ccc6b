// kestrin-drawer-sim: looks at and changes the simulated drawers while the
// drawer program runs against them.

#include "simstate.h"

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int LockTimeoutMs = 2000;

constexpr char Usage[]
    = "usage: kestrin-drawer-sim status | plug N | unplug N | open N | close N | mute N | "
      "unmute N | delay MS | auto-close SECONDS | trace [on|off] | reset   (N: drawer 1 to 8)";

int usage(const char *problem = nullptr)
{
    if (problem)
        std::fprintf(stderr, "kestrin-drawer-sim: %s\n", problem);
    std::fprintf(stderr, "%s\n", Usage);
    return 2;
}

bool parseNumber(std::string_view text, int min, int max, int &out)
{
    std::int64_t value = 0;
    if (!sim::parseInt(text, min, max, value))
        return false;
    out = int(value);
    return true;
}

void printStatus(const sim::State &state, const std::string &path)
{
    std::printf("%-8s %-10s %-8s %-8s %s\n", "Drawer", "Device", "Drawer", "Answers", "Handles");
    for (int i = 0; i < sim::DrawerCount; ++i) {
        const sim::Drawer &d = state.drawers[i];
        int handles = 0;
        for (const auto &entry : state.handles)
            handles += entry.second == i;
        std::printf("#%-7d %-10s %-8s %-8s %d\n", i + 1, d.plugged ? "plugged" : "unplugged",
            d.open ? "open" : "closed", d.muted ? "no" : "yes", handles);
    }
    std::printf("delay %d ms, auto-close %s, trace %s\n", state.delayMs,
        state.autoCloseSeconds ? (std::to_string(state.autoCloseSeconds) + " s").c_str() : "never",
        state.trace ? "on" : "off");
    std::printf("state file %s\n", path.c_str());
}

} // namespace

int main(int argc, char *argv[])
{
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty())
        return usage();
    const std::string_view command = args[0];

    int number = 0;
    const bool drawerCommand = command == "plug" || command == "unplug" || command == "open"
        || command == "close" || command == "mute" || command == "unmute";
    if (drawerCommand) {
        if (args.size() != 2 || !parseNumber(args[1], 1, sim::DrawerCount, number))
            return usage("the drawer must be a number from 1 to 8");
    } else if (command == "delay") {
        if (args.size() != 2 || !parseNumber(args[1], 0, sim::MaxDelayMs, number))
            return usage("the delay must be 0 to 60000 milliseconds");
    } else if (command == "auto-close") {
        if (args.size() != 2 || !parseNumber(args[1], 0, sim::MaxAutoCloseSeconds, number))
            return usage("auto-close must be 0 (never) to 86400 seconds");
    } else if (command == "trace") {
        if (args.size() > 2 || (args.size() == 2 && args[1] != "on" && args[1] != "off"))
            return usage("trace takes on, off or nothing");
    } else if (command == "status" || command == "reset") {
        if (args.size() != 1)
            return usage();
    } else if (command == "help" || command == "--help" || command == "-h") {
        std::printf("%s\n", Usage);
        return 0;
    } else {
        return usage(("unknown command '" + std::string(command) + "'").c_str());
    }

    std::string error;
    const std::string path = sim::statePath(error);
    if (path.empty()) {
        std::fprintf(stderr, "kestrin-drawer-sim: %s\n", error.c_str());
        return 1;
    }
    if (command == "trace" && args.size() == 1) {
        std::printf("%s\n", sim::tracePath(path).c_str());
        return 0;
    }

    sim::LockedState file(path, LockTimeoutMs);
    if (!file.isLocked()) {
        std::fprintf(stderr, "kestrin-drawer-sim: %s\n", file.error().c_str());
        return 1;
    }
    std::string warning;
    sim::State state = file.load(&warning);
    if (!warning.empty())
        std::fprintf(stderr, "kestrin-drawer-sim: %s\n", warning.c_str());
    state.applyAutoClose(sim::wallClockMs());

    if (command == "status") {
        printStatus(state, path);
        return 0;
    }

    const int index = number - 1;
    if (command == "plug") {
        state.drawers[index].plugged = true;
    } else if (command == "unplug") {
        state.drawers[index].plugged = false;
        state.dropHandlesOf(index); // the device is gone, and its handles with it
    } else if (command == "open") {
        state.drawers[index].open = true;
        state.drawers[index].openedAtMs = sim::wallClockMs();
    } else if (command == "close") {
        state.drawers[index].open = false;
    } else if (command == "mute") {
        state.drawers[index].muted = true;
    } else if (command == "unmute") {
        state.drawers[index].muted = false;
    } else if (command == "delay") {
        state.delayMs = number;
    } else if (command == "auto-close") {
        state.autoCloseSeconds = number;
    } else if (command == "trace") {
        state.trace = args[1] == "on";
    } else if (command == "reset") {
        state.reset();
    }

    if (!file.store(state)) {
        std::fprintf(stderr, "kestrin-drawer-sim: %s\n", file.error().c_str());
        return 1;
    }
    if (command == "trace" && state.trace)
        std::printf("tracing to %s\n", sim::tracePath(path).c_str());
    return 0;
}
