#include "simstate.h"

#include <algorithm>
#include <charconv>
#include <chrono>

namespace sim {

namespace {

constexpr std::string_view Magic = "kestrin-drawer-sim 1";
constexpr std::size_t MaxFileBytes = 64 * 1024;

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> result;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        const std::size_t start = pos;
        while (pos < line.size() && line[pos] != ' ')
            ++pos;
        if (pos > start)
            result.push_back(line.substr(start, pos - start));
    }
    return result;
}

bool parseFlag(std::string_view word, std::string_view key, bool &out)
{
    if (word.size() != key.size() + 2 || word.substr(0, key.size()) != key
        || word[key.size()] != '=')
        return false;
    const char value = word.back();
    if (value != '0' && value != '1')
        return false;
    out = value == '1';
    return true;
}

} // namespace

State State::defaults()
{
    State state;
    state.drawers[0].plugged = true;
    state.drawers[1].plugged = true;
    return state;
}

void State::applyAutoClose(std::int64_t nowMs)
{
    if (autoCloseSeconds <= 0)
        return;
    for (Drawer &drawer : drawers) {
        if (drawer.open && nowMs - drawer.openedAtMs >= std::int64_t(autoCloseSeconds) * 1000)
            drawer.open = false;
    }
}

std::int32_t State::allocateHandle(int drawerIndex)
{
    const std::int32_t handle = nextHandle;
    nextHandle = nextHandle == INT32_MAX ? 1 : nextHandle + 1;
    handles.emplace_back(handle, drawerIndex);
    if (handles.size() > MaxLiveHandles)
        handles.erase(handles.begin());
    return handle;
}

std::optional<int> State::drawerOf(std::int32_t handle) const
{
    for (const auto &[live, drawer] : handles) {
        if (live == handle)
            return drawer;
    }
    return std::nullopt;
}

void State::releaseHandle(std::int32_t handle)
{
    std::erase_if(handles, [handle](const auto &entry) { return entry.first == handle; });
}

void State::dropHandlesOf(int drawerIndex)
{
    std::erase_if(
        handles, [drawerIndex](const auto &entry) { return entry.second == drawerIndex; });
}

void State::reset()
{
    const std::int32_t keep = nextHandle;
    *this = defaults();
    nextHandle = keep;
}

bool parseInt(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t &out)
{
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return false;
    out = value;
    return true;
}

std::string serialize(const State &state)
{
    // Plain appends: the library writes this on every call that changes
    // something, and a stream costs several times as much.
    std::string out(Magic);
    const auto line = [&out](std::string_view key, auto value) {
        out += '\n';
        out += key;
        out += ' ';
        out += std::to_string(value);
    };
    line("delay", state.delayMs);
    line("auto-close", state.autoCloseSeconds);
    line("trace", state.trace ? 1 : 0);
    line("next-handle", state.nextHandle);
    for (int i = 0; i < DrawerCount; ++i) {
        const Drawer &d = state.drawers[i];
        line("drawer", i + 1);
        out += d.plugged ? " plugged=1" : " plugged=0";
        out += d.open ? " open=1" : " open=0";
        out += d.muted ? " muted=1" : " muted=0";
        out += " opened-at=";
        out += std::to_string(d.openedAtMs);
    }
    for (const auto &[handle, drawer] : state.handles) {
        line("handle", handle);
        out += ' ';
        out += std::to_string(drawer + 1);
    }
    out += '\n';
    return out;
}

std::optional<State> parse(std::string_view text)
{
    if (text.size() > MaxFileBytes)
        return std::nullopt;
    State state = State::defaults();
    state.handles.clear();
    std::array<bool, DrawerCount> seen {};
    bool first = true;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt; // truncated: the last line has no end
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (first) {
            if (line != Magic)
                return std::nullopt;
            first = false;
            continue;
        }
        const auto w = words(line);
        if (w.empty())
            return std::nullopt;
        std::int64_t value = 0;
        if (w[0] == "delay" && w.size() == 2 && parseInt(w[1], 0, MaxDelayMs, value)) {
            state.delayMs = int(value);
        } else if (w[0] == "auto-close" && w.size() == 2
            && parseInt(w[1], 0, MaxAutoCloseSeconds, value)) {
            state.autoCloseSeconds = int(value);
        } else if (w[0] == "trace" && w.size() == 2 && (w[1] == "0" || w[1] == "1")) {
            state.trace = w[1] == "1";
        } else if (w[0] == "next-handle" && w.size() == 2 && parseInt(w[1], 1, INT32_MAX, value)) {
            state.nextHandle = std::int32_t(value);
        } else if (w[0] == "drawer" && w.size() == 6 && parseInt(w[1], 1, DrawerCount, value)) {
            const int index = int(value) - 1;
            Drawer &d = state.drawers[index];
            std::int64_t openedAt = 0;
            if (seen[index] || !parseFlag(w[2], "plugged", d.plugged)
                || !parseFlag(w[3], "open", d.open) || !parseFlag(w[4], "muted", d.muted)
                || w[5].substr(0, 10) != "opened-at="
                || !parseInt(w[5].substr(10), 0, INT64_MAX, openedAt))
                return std::nullopt;
            d.openedAtMs = openedAt;
            seen[index] = true;
        } else if (w[0] == "handle" && w.size() == 3 && state.handles.size() < MaxLiveHandles) {
            std::int64_t handle = 0;
            if (!parseInt(w[1], 1, INT32_MAX, handle) || !parseInt(w[2], 1, DrawerCount, value))
                return std::nullopt;
            state.handles.emplace_back(std::int32_t(handle), int(value) - 1);
        } else {
            return std::nullopt;
        }
    }
    if (first || !std::all_of(seen.begin(), seen.end(), [](bool s) { return s; }))
        return std::nullopt;
    return state;
}

std::int64_t wallClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t monotonicMicros()
{
    // steady_clock is CLOCK_MONOTONIC on Linux and the performance counter
    // on Windows: one clock for every process.
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string statePath(std::string &error)
{
    if (std::string named = files::environment("KESTRIN_SIM_STATE"); !named.empty()) {
        if (!files::isAbsolutePath(named)) {
            error = "KESTRIN_SIM_STATE must be an absolute path";
            return {};
        }
        return named;
    }
    return files::defaultStatePath(error);
}

LockedState::LockedState(std::string path, int timeoutMs) : m_path(std::move(path))
{
    if (m_lock.lock(m_path + ".lock", timeoutMs, m_error) == files::FileLock::Busy)
        m_error = "the state file " + m_path + " is busy";
}

LockedState::~LockedState() = default;

bool StateCache::isCurrent(const std::string &path) const
{
    return !this->path.empty() && this->path == path && files::regularFileId(path) == id;
}

State LockedState::load(std::string *warning, StateCache *cache)
{
    if (cache) {
        if (cache->isCurrent(m_path))
            return cache->state;
        cache->path.clear();
    }
    std::string text;
    files::FileId id;
    std::string error;
    const files::ReadResult read = files::readFile(m_path, MaxFileBytes, text, id, error);
    if (read == files::ReadResult::Missing)
        return State::defaults();
    if (read == files::ReadResult::Ok) {
        if (auto state = parse(text)) {
            if (cache)
                *cache = {m_path, id, *state};
            return *state;
        }
    }
    if (warning) {
        *warning = read == files::ReadResult::Link  ? m_path + " is a symbolic link"
            : read == files::ReadResult::Unreadable ? m_path + ": " + error
                                                    : m_path + " is not a valid state file";
        *warning += "; using the defaults";
    }
    return State::defaults();
}

bool LockedState::store(const State &state, StateCache *cache)
{
    if (!files::replaceFile(m_path, serialize(state), m_error))
        return false;
    if (cache) {
        if (const auto id = files::regularFileId(m_path))
            *cache = {m_path, *id, state};
        else
            cache->path.clear();
    }
    return true;
}

std::string tracePath(const std::string &statePath)
{
    return statePath + ".trace";
}

bool appendTrace(const std::string &statePath, const std::string &line)
{
    return files::appendToFile(tracePath(statePath), line + '\n');
}

} // namespace sim
