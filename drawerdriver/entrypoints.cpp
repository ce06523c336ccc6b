// The four entry points of the drawer library, for cash drawers wired to the
// drawer-kick connector of an ESC/POS receipt printer on USB.

#include "drawer/drawerapi.h"
#include "config.h"
#include "printerport.h"

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

struct HeldDrawer {
    drawerdriver::DrawerSettings settings;
    std::unique_ptr<drawerdriver::PrinterPort> port;
};

std::mutex mutex;
std::map<std::int32_t, HeldDrawer> held;
std::int32_t nextHandle = 1;
// The last problem told about each drawer, and the configuration's: the
// program asks ten times a second, and each problem is worth one line.
std::array<std::string, drawerdriver::DrawerCount> lastProblem;
std::string lastConfigProblems;

void tell(std::string &last, const std::string &problem)
{
    if (problem == last)
        return;
    last = problem;
    if (!problem.empty())
        std::fprintf(stderr, "KestrinPOS_USB (ESC/POS): %s\n", problem.c_str());
}

HeldDrawer *find(std::int32_t handle)
{
    const auto entry = held.find(handle);
    return entry == held.end() ? nullptr : &entry->second;
}

} // namespace

extern "C" {

KESTRIN_DRAWER_API std::int32_t GetDrawerHandle(std::uint8_t drawerNumber)
{
    if (drawerNumber >= drawerdriver::DrawerCount)
        return -1;
    std::lock_guard guard(mutex);
    const drawerdriver::DrawerConfig config = drawerdriver::loadDrawerConfig(drawerdriver::drawerConfigPath());
    std::string problems;
    for (const std::string &problem : config.problems)
        problems += (problems.empty() ? "" : "\nKestrinPOS_USB (ESC/POS): ") + problem;
    tell(lastConfigProblems, problems);

    std::string &last = lastProblem[drawerNumber];
    const auto &settings = config.drawers[drawerNumber];
    if (!settings) {
        tell(last, "drawer " + std::to_string(drawerNumber + 1) + " is not configured");
        return 0;
    }
    std::string error;
    std::unique_ptr<drawerdriver::PrinterPort> port = drawerdriver::PrinterPort::open(*settings, error);
    if (!port) {
        tell(last, error);
        return 0;
    }
    // With a sensor, the printer must be able to answer; without one, an
    // open port is all there is to know.
    if (settings->sensor != drawerdriver::Sensor::None && port->requestStatus() < 0) {
        tell(last, "the printer on " + settings->device + " does not answer status requests");
        return 0;
    }
    tell(last, {});
    const std::int32_t handle = nextHandle;
    nextHandle = nextHandle == INT32_MAX ? 1 : nextHandle + 1;
    held.emplace(handle, HeldDrawer {*settings, std::move(port)});
    return handle;
}

KESTRIN_DRAWER_API void ReleaseDrawerHandle(std::int32_t handle)
{
    std::lock_guard guard(mutex);
    held.erase(handle); // closes the port; 0, negative and unknown handles are not there
}

KESTRIN_DRAWER_API std::int16_t GetDrawerStatus(std::int32_t handle)
{
    std::lock_guard guard(mutex);
    HeldDrawer *drawer = find(handle);
    if (!drawer || !drawer->port->isPresent())
        return 0;
    if (drawer->settings.sensor == drawerdriver::Sensor::None)
        return 1;
    const int status = drawer->port->requestStatus();
    return status < 0
        ? 0
        : std::int16_t(drawerdriver::drawerState(std::uint8_t(status), drawer->settings.sensor));
}

KESTRIN_DRAWER_API std::int16_t OpenDrawer(std::int32_t handle)
{
    std::lock_guard guard(mutex);
    HeldDrawer *drawer = find(handle);
    if (!drawer)
        return 0;
    return drawer->port->writeAll(drawerdriver::kickCommand(drawer->settings)) ? 1 : 0;
}

} // extern "C"
