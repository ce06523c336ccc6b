#include "history.h"

#include "journal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <sqlite3.h>

namespace drawerservice {

namespace {

// Each step takes the schema from one version to the next; a file is
// brought up to date step by step, each step in a transaction of its own.
// Never change a step once released: add one.
const char *const Migrations[] = {
    // Version 1: the events, with an index for reading by time.
    "CREATE TABLE events ("
    " id INTEGER PRIMARY KEY,"
    " time_us INTEGER NOT NULL,"
    " drawer INTEGER NOT NULL,"
    " event TEXT NOT NULL,"
    " uid INTEGER, user TEXT, pid INTEGER, program TEXT, reason TEXT,"
    " seconds REAL);"
    "CREATE INDEX events_by_time ON events (time_us);",
};
constexpr int SchemaVersion = int(std::size(Migrations));

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql)
    {
        sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    operator sqlite3_stmt *() const { return m_statement; }
    bool ok() const { return m_statement != nullptr; }

    void bind(int index, const std::string &text)
    {
        sqlite3_bind_text(m_statement, index, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, std::int64_t value) { sqlite3_bind_int64(m_statement, index, value); }
    template<typename T> void bind(int index, const std::optional<T> &value)
    {
        if (!value)
            sqlite3_bind_null(m_statement, index);
        else if constexpr (std::is_floating_point_v<T>)
            sqlite3_bind_double(m_statement, index, *value);
        else
            sqlite3_bind_int64(m_statement, index, *value);
    }

private:
    sqlite3_stmt *m_statement = nullptr;
};

std::string text(sqlite3_stmt *statement, int column)
{
    const auto *value = sqlite3_column_text(statement, column);
    return value ? reinterpret_cast<const char *>(value) : "";
}

std::optional<std::int64_t> integer(sqlite3_stmt *statement, int column)
{
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return std::nullopt;
    return sqlite3_column_int64(statement, column);
}

} // namespace

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Event newEvent(int drawer, std::string kind)
{
    Event event;
    event.timeUs = nowUs();
    event.drawer = drawer;
    event.kind = std::move(kind);
    return event;
}

std::string stateFolder()
{
    std::filesystem::path folder;
    if (const char *state = std::getenv("STATE_DIRECTORY"); state && *state) {
        // systemd may list several, separated by colons: the first is ours.
        folder = std::string(state).substr(0, std::string(state).find(':'));
    } else if (const char *xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
        folder = std::filesystem::path(xdg) / "kestrin-drawer";
    } else {
        const char *home = std::getenv("HOME");
        folder
            = std::filesystem::path(home && *home ? home : "/tmp") / ".local/state/kestrin-drawer";
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return folder.string();
}

History::History(std::string path) : m_path(std::move(path))
{
    m_working = open();
}

History::~History()
{
    close();
}

bool History::open()
{
    if (m_db)
        return true;
    if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
        != SQLITE_OK) {
        failed("cannot open");
        return false;
    }
    sqlite3_busy_timeout(m_db, 1000);
    // WAL with synchronous=FULL: every commit is on the disk before the
    // call that made it returns, which outlasts a killed service and a
    // power cut alike, for one fsync per event.
    if (sqlite3_exec(
            m_db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr)
            != SQLITE_OK
        || !migrate()) {
        failed("cannot prepare");
        return false;
    }
    return true;
}

bool History::migrate()
{
    if (sqlite3_exec(m_db, "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)",
            nullptr, nullptr, nullptr)
        != SQLITE_OK)
        return false;
    int version = 0;
    {
        Statement read(m_db, "SELECT MAX(version) FROM schema_version");
        if (!read.ok() || sqlite3_step(read) != SQLITE_ROW)
            return false;
        version = sqlite3_column_int(read, 0);
    }
    if (version > SchemaVersion) {
        logLine(LOG_ERR,
            "%s has history version %d, newer than this service's %d; not writing to it",
            m_path.c_str(), version, SchemaVersion);
        return false;
    }
    for (; version < SchemaVersion; ++version) {
        const std::string step = std::string("BEGIN IMMEDIATE;") + Migrations[version]
            + "INSERT INTO schema_version VALUES (" + std::to_string(version + 1) + ");COMMIT;";
        if (sqlite3_exec(m_db, step.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
    }
    return true;
}

void History::close()
{
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

// Told once per outage, not once per event.
void History::failed(const char *what)
{
    if (!m_told)
        logLine(LOG_ERR,
            "the history (%s) %s: %s; the drawers work on, their events are not recorded until "
            "it works again",
            m_path.c_str(), what, m_db ? sqlite3_errmsg(m_db) : "out of memory");
    m_told = true;
    m_working = false;
    close();
}

bool History::append(const Event &event)
{
    if (!open())
        return false;
    Statement insert(m_db,
        "INSERT INTO events (time_us, drawer, event, uid, user, pid, program, reason, seconds)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (insert.ok()) {
        insert.bind(1, event.timeUs);
        insert.bind(2, std::int64_t(event.drawer));
        insert.bind(3, event.kind);
        insert.bind(4, event.uid);
        insert.bind(5, event.user);
        insert.bind(6, event.pid);
        insert.bind(7, event.program);
        insert.bind(8, event.reason);
        insert.bind(9, event.seconds);
    }
    if (!insert.ok() || sqlite3_step(insert) != SQLITE_DONE) {
        failed("cannot be written");
        return false;
    }
    if (!m_working && m_told)
        logLine(LOG_NOTICE, "the history (%s) is written again", m_path.c_str());
    m_working = true;
    m_told = false;
    return true;
}

bool History::query(const EventFilter &filter, std::vector<Event> &events)
{
    if (!open())
        return false;
    Statement select(m_db,
        "SELECT time_us, drawer, event, uid, user, pid, program, reason, seconds FROM events"
        " WHERE time_us >= ? AND time_us < ? AND (? = 0 OR drawer = ?)"
        " ORDER BY time_us, id LIMIT ? OFFSET ?");
    if (!select.ok())
        return false;
    select.bind(1, filter.sinceUs);
    select.bind(2, filter.untilUs);
    select.bind(3, std::int64_t(filter.drawer));
    select.bind(4, std::int64_t(filter.drawer));
    select.bind(5, std::int64_t(filter.limit));
    select.bind(6, std::int64_t(filter.skip));
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(select)) == SQLITE_ROW) {
        Event event;
        event.timeUs = sqlite3_column_int64(select, 0);
        event.drawer = sqlite3_column_int(select, 1);
        event.kind = text(select, 2);
        event.uid = integer(select, 3);
        event.user = text(select, 4);
        event.pid = integer(select, 5);
        event.program = text(select, 6);
        event.reason = text(select, 7);
        if (sqlite3_column_type(select, 8) != SQLITE_NULL)
            event.seconds = sqlite3_column_double(select, 8);
        events.push_back(std::move(event));
    }
    return step == SQLITE_DONE;
}

int History::deleteBefore(std::int64_t timeUs)
{
    if (!open())
        return -1;
    Statement remove(m_db, "DELETE FROM events WHERE time_us < ?");
    remove.bind(1, timeUs);
    if (!remove.ok() || sqlite3_step(remove) != SQLITE_DONE) {
        failed("cannot be trimmed");
        return -1;
    }
    return sqlite3_changes(m_db);
}

} // namespace drawerservice
