// The drawer service's history: one row per event (kicks, refusals, the
// sensor, the device, the service itself) in an append-only SQLite file.
// Every append is committed before it returns, so that an event the service
// acknowledged survives the service being killed. A store that cannot write
// (a full disk, a read-only file) says so once on standard error and tells
// the service through working(); the drawers go on without it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace drawerservice {

struct Event {
    std::int64_t timeUs = 0; // microseconds since the epoch, UTC
    int drawer = 0; // 1 to 8; 0 for the service's own events
    std::string kind; // "kick", "opened", "service-start", ...
    std::optional<std::int64_t> uid;
    std::string user;
    std::optional<std::int64_t> pid;
    std::string program;
    std::string reason;
    std::optional<double> seconds; // how long the drawer was open
};

struct EventFilter {
    std::int64_t sinceUs = 0;
    std::int64_t untilUs = INT64_MAX; // exclusive
    int drawer = 0; // 0: every drawer
    int skip = 0; // rows at sinceUs already seen
    int limit = 10000;
};

class History {
public:
    // Opens or creates the file; a file that cannot be opened is tried
    // again at the next append.
    explicit History(std::string path);
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    const std::string &path() const { return m_path; }
    bool working() const { return m_working; }

    // Committed before it returns; false if the store cannot write.
    bool append(const Event &event);
    // Oldest first; false if the file cannot be read.
    bool query(const EventFilter &filter, std::vector<Event> &events);
    // Deletes the rows older than the time; how many, or -1.
    int deleteBefore(std::int64_t timeUs);

private:
    bool open();
    bool migrate();
    void close();
    void failed(const char *what);

    const std::string m_path;
    sqlite3 *m_db = nullptr;
    bool m_working = false;
    bool m_told = false;
};

// The folder for the history: $STATE_DIRECTORY (set by systemd), or
// $XDG_STATE_HOME/kestrin-drawer, or ~/.local/state/kestrin-drawer. Made if
// missing.
std::string stateFolder();

std::int64_t nowUs();
// An event of this moment.
Event newEvent(int drawer, std::string kind);

} // namespace drawerservice
