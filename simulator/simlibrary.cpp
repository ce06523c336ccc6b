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

// What this process last read or wrote; guarded by the state file's lock
// and, between threads of the host, by cacheMutex.
std::mutex cacheMutex;
sim::StateCache cache;

struct Answer {
    std::int64_t result = 0;
    bool trace = false;
    int delayMs = 0;
};

// Runs one library call against the shared state: locked, loaded, changed,
// stored. Returns what the call answers and how it must be traced and delayed.
template<typename Operation> Answer runOnState(std::string &path, Operation operation)
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
    std::lock_guard guard(cacheMutex);
    // A call that changes nothing, on a file nobody has replaced since, is
    // answered from what was last read: ten polls a second then cost one
    // lstat each, not a lock, a read and a parse. Files are only ever
    // replaced whole, so the cached copy is always a consistent one.
    if (cache.isCurrent(path)) {
        sim::State state = cache.state;
        state.applyAutoClose(sim::wallClockMs());
        const sim::State before = state;
        const std::int64_t result = operation(state);
        if (state == before) {
            answer.result = result;
            answer.trace = state.trace;
            answer.delayMs = state.delayMs;
            return answer;
        }
    }
    sim::LockedState file(path, LockTimeoutMs);
    if (!file.isLocked())
        return answer; // a busy or unusable state file looks like a silent device
    sim::State state = file.load(nullptr, &cache);
    state.applyAutoClose(sim::wallClockMs());
    const sim::State before = state;
    answer.result = operation(state);
    if (state != before)
        file.store(state, &cache);
    answer.trace = state.trace;
    answer.delayMs = state.delayMs;
    return answer;
}

// One library call: the operation on the state, a trace line when tracing
// is on, then the configured delay.
template<typename Operation>
std::int64_t call(const char *function, std::int64_t argument, bool hasResult, Operation operation)
{
    const std::int64_t started = sim::monotonicMicros();
    std::string path;
    const Answer answer = runOnState(path, operation);
    if (answer.trace && !path.empty()) {
        sim::appendTrace(path,
            std::to_string(started) + ' ' + function + ' ' + std::to_string(argument) + ' '
                + (hasResult ? std::to_string(answer.result) : "-"));
    }
    if (answer.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
    return answer.result;
}

// The drawer behind a live handle whose device answers, or none.
sim::Drawer *answeringDrawer(sim::State &state, std::int32_t handle)
{
    const auto index = state.drawerOf(handle);
    if (!index || state.drawers[*index].muted)
        return nullptr;
    return &state.drawers[*index];
}

} // namespace

extern "C" {

KESTRIN_DRAWER_API std::int32_t KESTRIN_DRAWER_CALL GetDrawerHandle(std::uint8_t drawerNumber)
{
    return std::int32_t(call("GetDrawerHandle", drawerNumber, true, [&](sim::State &state) {
        if (drawerNumber >= sim::DrawerCount)
            return std::int64_t(-1);
        if (!state.drawers[drawerNumber].plugged)
            return std::int64_t(0);
        return std::int64_t(state.allocateHandle(drawerNumber));
    }));
}

KESTRIN_DRAWER_API void KESTRIN_DRAWER_CALL ReleaseDrawerHandle(std::int32_t handle)
{
    call("ReleaseDrawerHandle", handle, false, [&](sim::State &state) {
        state.releaseHandle(handle);
        return std::int64_t(0);
    });
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL GetDrawerStatus(std::int32_t handle)
{
    return std::int16_t(call("GetDrawerStatus", handle, true, [&](sim::State &state) {
        const sim::Drawer *drawer = answeringDrawer(state, handle);
        return std::int64_t(!drawer ? 0 : drawer->open ? 2 : 1);
    }));
}

KESTRIN_DRAWER_API std::int16_t KESTRIN_DRAWER_CALL OpenDrawer(std::int32_t handle)
{
    return std::int16_t(call("OpenDrawer", handle, true, [&](sim::State &state) {
        sim::Drawer *drawer = answeringDrawer(state, handle);
        if (!drawer)
            return std::int64_t(0);
        if (!drawer->open) {
            drawer->open = true;
            drawer->openedAtMs = sim::wallClockMs();
        }
        return std::int64_t(1);
    }));
}

} // extern "C"
