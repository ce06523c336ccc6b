// State of the simulated bank of eight drawers, shared between the simulated
// vendor library (inside the drawer program) and the control tool through one
// small text file.
#pragma once

#include "simfiles.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

inline constexpr int DrawerCount = 8;
inline constexpr int MaxDelayMs = 60'000;
inline constexpr int MaxAutoCloseSeconds = 86'400;
// A host that never gives its handles back must not grow the file forever;
// the oldest handles beyond this count go stale.
inline constexpr std::size_t MaxLiveHandles = 64;

struct Drawer {
    bool plugged = false;
    bool open = false;
    bool muted = false;
    std::int64_t openedAtMs = 0; // wall-clock time the drawer was opened

    bool operator==(const Drawer &) const = default;
};

struct State {
    std::array<Drawer, DrawerCount> drawers {};
    int delayMs = 0;
    int autoCloseSeconds = 5;
    bool trace = false;
    std::int32_t nextHandle = 1;
    std::vector<std::pair<std::int32_t, int>> handles; // live handle, drawer index

    bool operator==(const State &) const = default;

    // "Drawer #1" and "Drawer #2" plugged in and closed, the rest unplugged.
    static State defaults();

    // A drawer left open closes by itself after the auto-close time.
    void applyAutoClose(std::int64_t nowMs);
    std::int32_t allocateHandle(int drawerIndex);
    // The drawer index a live handle belongs to.
    std::optional<int> drawerOf(std::int32_t handle) const;
    void releaseHandle(std::int32_t handle);
    void dropHandlesOf(int drawerIndex);
    // Back to the defaults, but handles stay unique: an old one stays stale.
    void reset();
};

// A whole decimal number within [min, max]; nothing else is accepted.
bool parseInt(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t &out);

std::string serialize(const State &state);
// nullopt when the text is not a well-formed state file.
std::optional<State> parse(std::string_view text);

std::int64_t wallClockMs();
std::int64_t monotonicMicros();

// The state file's path: KESTRIN_SIM_STATE when set (absolute paths only),
// otherwise in $XDG_RUNTIME_DIR, otherwise in a private folder under /tmp;
// on Windows in %LOCALAPPDATA%.
// Empty, with error set, when no safe place is found.
std::string statePath(std::string &error);

// The last state read or written, and which file it came from, so that a
// caller polling ten times a second reads and parses the file only when
// another process has replaced it.
struct StateCache {
    std::string path;
    files::FileId id;
    State state;

    // Whether the file at path is still the one this state came from: no
    // lock, no read.
    bool isCurrent(const std::string &path) const;
};

// The state file with its lock held for the object's lifetime.
class LockedState {
public:
    // Waits at most timeoutMs for the lock.
    LockedState(std::string path, int timeoutMs);
    ~LockedState();
    LockedState(const LockedState &) = delete;
    LockedState &operator=(const LockedState &) = delete;

    bool isLocked() const { return m_lock.isLocked(); }
    const std::string &error() const { return m_error; }

    // The stored state, or the defaults when the file is missing or
    // malformed. warning tells which, when it was not a clean read.
    State load(std::string *warning = nullptr, StateCache *cache = nullptr);
    bool store(const State &state, StateCache *cache = nullptr);

private:
    std::string m_path;
    files::FileLock m_lock;
    std::string m_error;
};

std::string tracePath(const std::string &statePath);
// Appends one line in a single write, so lines of several processes never mix.
bool appendTrace(const std::string &statePath, const std::string &line);

} // namespace sim
