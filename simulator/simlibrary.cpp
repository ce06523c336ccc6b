// The simulated vendor drawer library: a bank of eight USB cash drawers whose
// state lives in the shared state file, so the control tool can plug, unplug,
// open and slow them down while the drawer program runs.

#include "drawer/drawerapi.h"
#include "simstate.h"

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Beyond this the library answers "no device" rather than freezing its host.
constexpr int LockTimeoutMs = 200;

// Used when no safe state file exists: the drawers still behave, but only
// within this process.
std::mutex fallbackMutex;
sim::State fallbackState = sim::State::defaults();

struct Answer {
    std::int64_t result = 0;
    bool trace = false;
    int delayMs = 0;
};

// Runs one library call against the shared state: locked, loaded, changed,
// stored. Returns what the call answers and how it must be traced and delayed.
template<typename Operation> Answer runCall(std::string &path, Operation operation)
{
    Answer answer;
    std::string error;
    path = sim::statePath(error);
    if (path.empty()) {
        std::lock_guard guard(fallbackMutex);
        fallbackState.applyAutoClose(sim::wallClockMs());
        answer.result = operation(fallbackState);
        answer.delayMs = fallbackState.delayMs;
        return answer;
    }
    sim::LockedState file(path, LockTimeoutMs);
    if (!file.isLocked())
        return answer; // a busy or unusable state file looks like a silent device
    sim::State state = file.load();
    state.applyAutoClose(sim::wallClockMs());
    const std::string before = sim::serialize(state);
    answer.result = operation(state);
    if (sim::serialize(state) != before)
        file.store(state);
    answer.trace = state.trace;
    answer.delayMs = state.delayMs;
    return answer;
}

void finishCall(const std::string &path, const Answer &answer, std::int64_t startedMicros,
    const char *function, std::int64_t argument, bool hasResult)
{
    if (answer.trace && !path.empty()) {
        std::string line = std::to_string(startedMicros) + ' ' + function + ' '
            + std::to_string(argument) + ' ' + (hasResult ? std::to_string(answer.result) : "-");
        sim::appendTrace(path, line);
    }
    if (answer.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
}

} // namespace

extern "C" {

KESTRIN_DRAWER_API std::int32_t GetDrawerHandle(std::uint8_t drawerNumber)
{
    const std::int64_t started = sim::monotonicMicros();
    std::string path;
    const Answer answer = runCall(path, [drawerNumber](sim::State &state) -> std::int64_t {
        if (drawerNumber >= sim::DrawerCount)
            return -1;
        if (!state.drawers[drawerNumber].plugged)
            return 0;
        return state.allocateHandle(drawerNumber);
    });
    finishCall(path, answer, started, "GetDrawerHandle", drawerNumber, true);
    return std::int32_t(answer.result);
}

KESTRIN_DRAWER_API void ReleaseDrawerHandle(std::int32_t handle)
{
    const std::int64_t started = sim::monotonicMicros();
    std::string path;
    const Answer answer = runCall(path, [handle](sim::State &state) -> std::int64_t {
        state.releaseHandle(handle);
        return 0;
    });
    finishCall(path, answer, started, "ReleaseDrawerHandle", handle, false);
}

KESTRIN_DRAWER_API std::int16_t GetDrawerStatus(std::int32_t handle)
{
    const std::int64_t started = sim::monotonicMicros();
    std::string path;
    const Answer answer = runCall(path, [handle](sim::State &state) -> std::int64_t {
        const auto drawer = state.drawerOf(handle);
        if (!drawer || state.drawers[*drawer].muted)
            return 0;
        return state.drawers[*drawer].open ? 2 : 1;
    });
    finishCall(path, answer, started, "GetDrawerStatus", handle, true);
    return std::int16_t(answer.result);
}

KESTRIN_DRAWER_API std::int16_t OpenDrawer(std::int32_t handle)
{
    const std::int64_t started = sim::monotonicMicros();
    std::string path;
    const Answer answer = runCall(path, [handle](sim::State &state) -> std::int64_t {
        const auto drawer = state.drawerOf(handle);
        if (!drawer || state.drawers[*drawer].muted)
            return 0;
        sim::Drawer &d = state.drawers[*drawer];
        if (!d.open) {
            d.open = true;
            d.openedAtMs = sim::wallClockMs();
        }
        return 1;
    });
    finishCall(path, answer, started, "OpenDrawer", handle, true);
    return std::int16_t(answer.result);
}

} // extern "C"
