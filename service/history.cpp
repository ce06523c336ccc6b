#include "history.h"

#include "journal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

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
    // Version 2: refusals folded into the row of the first.
    "ALTER TABLE events ADD COLUMN repeats INTEGER NOT NULL DEFAULT 0;",
    // Version 3: a kick's state, and the refusals by age, which go first.
    "ALTER TABLE events ADD COLUMN state TEXT NOT NULL DEFAULT '';"
    "CREATE INDEX events_refusals ON events (time_us) WHERE event = 'kick-refused';",
};
constexpr int SchemaVersion = int(std::size(Migrations));
// Room kept on the disk for the history's log, for a full disk.
constexpr off_t ReserveBytes = 1 << 20;
// The refusals' share of the size limit.
constexpr int RefusalShare = 10;
// About what a row takes: its texts, and 96 bytes for the rest and its two
// index entries.
#define KESTRIN_ROW_BYTES                                                                          \
    "(96 + coalesce(length(CAST(user AS BLOB)), 0) + coalesce(length(CAST(program AS BLOB)), 0)"   \
    " + coalesce(length(CAST(reason AS BLOB)), 0))"

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

std::optional<std::int64_t> integer(sqlite3_stmt *statement, int column)
{
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return std::nullopt;
    return sqlite3_column_int64(statement, column);
}

// The length of the valid UTF-8 sequence that starts the text, or 0.
std::size_t sequenceLength(std::string_view text)
{
    const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // for the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low; // no overlong forms
        high = lead == 0xED ? 0x9F : high; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high; // nothing past U+10FFFF
    }
    if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    return length;
}

// The rows' approximate size in a reply.
std::size_t replySize(const Event &event)
{
    return 64 + event.kind.size() + event.user.size() + event.program.size() + event.reason.size()
        + event.state.size();
}

bool isRefusal(const std::string &kind)
{
    return kind == drawerdriver::bus::event::KickRefused;
}

} // namespace

std::string cleanField(std::string_view text, int limit)
{
    std::string clean;
    int characters = 0;
    while (!text.empty() && characters < limit) {
        const std::size_t length = sequenceLength(text);
        const auto lead = static_cast<unsigned char>(text[0]);
        // C1 controls are U+0080 to U+009F: 0xC2 0x80 to 0xC2 0x9F.
        const bool control = lead < 0x20 || lead == 0x7F
            || (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[1]) <= 0x9F);
        if (length == 0)
            clean += "\xEF\xBF\xBD"; // U+FFFD, the replacement character
        else if (!control)
            clean.append(text.substr(0, length));
        characters += control ? 0 : 1;
        text.remove_prefix(std::max<std::size_t>(length, 1));
    }
    return clean;
}

namespace {

// Cleaned as it is read too: a row written by an older version, or by
// hand, must not break a reply.
std::string text(sqlite3_stmt *statement, int column)
{
    const auto *value = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
    if (!value)
        return {};
    return cleanField(
        std::string_view(value, std::size_t(sqlite3_column_bytes(statement, column))));
}

// A row of the query, in its columns' order.
Event readEvent(sqlite3_stmt *select)
{
    Event event;
    event.id = sqlite3_column_int64(select, 0);
    event.timeUs = sqlite3_column_int64(select, 1);
    event.drawer = sqlite3_column_int(select, 2);
    event.kind = text(select, 3);
    event.uid = integer(select, 4);
    event.user = text(select, 5);
    event.pid = integer(select, 6);
    event.program = text(select, 7);
    event.reason = text(select, 8);
    if (sqlite3_column_type(select, 9) != SQLITE_NULL)
        event.seconds = sqlite3_column_double(select, 9);
    event.repeats
        = std::uint32_t(std::clamp<std::int64_t>(sqlite3_column_int64(select, 10), 0, UINT32_MAX));
    event.state = text(select, 11);
    return event;
}

} // namespace

bool isAboutMoney(const std::string &kind)
{
    namespace word = drawerdriver::bus::event;
    for (const char *money :
        {word::Kick, word::KickUndelivered, word::Opened, word::Closed, word::Gone})
        if (kind == money)
            return true;
    return false;
}

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string utcText(std::int64_t timeUs)
{
    const std::time_t seconds = std::time_t(timeUs / 1'000'000);
    std::tm parts {};
    char text[40] = "?";
    if (::gmtime_r(&seconds, &parts))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
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

History::History(std::string path, Mode mode) : m_path(std::move(path)), m_mode(mode)
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
    const int flags = SQLITE_OPEN_READWRITE | (m_mode == Mode::Write ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(m_path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        failed("cannot open");
        return false;
    }
    sqlite3_busy_timeout(m_db, 1000);
    if (m_mode == Mode::Read)
        return true; // WAL mode is the file's own, and the writer migrates it
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
    Statement refusals(m_db,
        "SELECT coalesce(sum(" KESTRIN_ROW_BYTES "), 0) FROM events WHERE event = 'kick-refused'");
    m_refusalBytes = refusals.ok() && sqlite3_step(refusals) == SQLITE_ROW
        ? sqlite3_column_int64(refusals, 0)
        : 0;
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

// Told once per outage, not once per event; a reader's failure is its
// caller's to tell.
void History::failed(const char *what)
{
    if (!m_told && m_mode == Mode::Write)
        logLine(LOG_ERR,
            "the history (%s) %s: %s; kicks are refused and the drawers' other events not "
            "recorded until it works again",
            m_path.c_str(), what, m_db ? sqlite3_errmsg(m_db) : "out of memory");
    m_told = true;
    m_working = false;
    close();
}

bool History::insert(const Event &event)
{
    Statement insert(m_db,
        "INSERT INTO events (time_us, drawer, event, uid, user, pid, program, reason, seconds,"
        " repeats, state) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!insert.ok())
        return false;
    insert.bind(1, event.timeUs);
    insert.bind(2, std::int64_t(event.drawer));
    insert.bind(3, cleanField(event.kind));
    insert.bind(4, event.uid);
    insert.bind(5, cleanField(event.user));
    insert.bind(6, event.pid);
    insert.bind(7, cleanField(event.program));
    insert.bind(8, cleanField(event.reason));
    insert.bind(9, event.seconds);
    insert.bind(10, std::int64_t(event.repeats));
    insert.bind(11, cleanField(event.state));
    return sqlite3_step(insert) == SQLITE_DONE;
}

bool History::append(const Event &event, std::int64_t *id)
{
    if (!open())
        return false;
    bool written = insert(event);
    // A full disk: refusals make room, and a row about money may take the
    // reserve. The checkpoint lets the log start again at its beginning,
    // in the room it already has.
    while (!written && sqlite3_errcode(m_db) == SQLITE_FULL && makeRoom(isAboutMoney(event.kind))) {
        sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_RESTART, nullptr, nullptr);
        written = insert(event);
    }
    if (!written) {
        failed("cannot be written");
        return false;
    }
    const std::int64_t row = sqlite3_last_insert_rowid(m_db);
    if (id)
        *id = row;
    if (isRefusal(event.kind))
        m_refusalBytes += storedBytes(row);
    if (!m_working && m_told)
        logLine(LOG_NOTICE, "the history (%s) is written again", m_path.c_str());
    m_working = true;
    m_told = false;
    keepWithinLimit();
    return true;
}

// The reserve first for a row about money, then the oldest refusals.
bool History::makeRoom(bool aboutMoney)
{
    return (aboutMoney && releaseReserve()) || deleteOldestRefusals();
}

bool History::addRepeats(std::int64_t id, std::uint32_t count)
{
    return update("UPDATE events SET repeats = repeats + ? WHERE id = ?", std::int64_t(count), id);
}

bool History::setState(std::int64_t id, const std::string &state)
{
    return update("UPDATE events SET state = ? WHERE id = ?", state, id);
}

bool History::turnIntoRefusal(std::int64_t id, const std::string &reason)
{
    const std::string clean = cleanField(reason);
    if (!update("UPDATE events SET event = 'kick-refused', state = 'not-sent', reason = ?"
                " WHERE id = ?",
            clean, id))
        return false;
    m_refusalBytes += storedBytes(id);
    return true;
}

std::int64_t History::storedBytes(std::int64_t id)
{
    Statement row(m_db, "SELECT " KESTRIN_ROW_BYTES " FROM events WHERE id = ?");
    row.bind(1, id);
    return row.ok() && sqlite3_step(row) == SQLITE_ROW ? sqlite3_column_int64(row, 0) : 0;
}

// One statement with a value and a row's id.
template<typename T> bool History::update(const char *sql, const T &value, std::int64_t id)
{
    if (!open())
        return false;
    Statement update(m_db, sql);
    update.bind(1, value);
    update.bind(2, id);
    if (!update.ok() || sqlite3_step(update) != SQLITE_DONE) {
        failed("cannot be written");
        return false;
    }
    return true;
}

std::int64_t History::usedBytes()
{
    if (!open())
        return -1;
    Statement used(m_db,
        "SELECT (page_count - freelist_count) * page_size"
        " FROM pragma_page_count(), pragma_freelist_count(), pragma_page_size()");
    if (!used.ok() || sqlite3_step(used) != SQLITE_ROW)
        return -1;
    return sqlite3_column_int64(used, 0);
}

// A twentieth of the refusals, the oldest, and at least a hundred.
bool History::deleteOldestRefusals()
{
    Statement remove(m_db,
        "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE event = 'kick-refused'"
        " ORDER BY time_us, id LIMIT max(100,"
        " (SELECT count(*) FROM events WHERE event = 'kick-refused') / 20))"
        " RETURNING " KESTRIN_ROW_BYTES);
    int removed = 0;
    int step = SQLITE_ROW;
    while (remove.ok() && (step = sqlite3_step(remove)) == SQLITE_ROW) {
        m_refusalBytes -= sqlite3_column_int64(remove, 0);
        ++removed;
    }
    if (step != SQLITE_DONE)
        return false; // failed, and changed nothing
    m_refusalBytes = removed > 0 ? std::max<std::int64_t>(m_refusalBytes, 0) : 0;
    return removed > 0;
}

// A twentieth of the rows, the oldest, and at least a hundred.
bool History::deleteOldest()
{
    Statement remove(m_db,
        "DELETE FROM events WHERE id IN (SELECT id FROM events ORDER BY time_us, id"
        " LIMIT max(100, (SELECT count(*) FROM events) / 20))");
    return remove.ok() && sqlite3_step(remove) == SQLITE_DONE && sqlite3_changes(m_db) > 0;
}

std::string History::reservePath() const
{
    return m_path + ".reserve";
}

std::int64_t History::freeBytes() const
{
    const std::string folder = std::filesystem::path(m_path).parent_path().string();
    struct statvfs disk = {};
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &disk) != 0)
        return INT64_MAX; // not known: no reason to hold back
    return std::int64_t(disk.f_bavail) * std::int64_t(disk.f_frsize);
}

bool History::reserveKept() const
{
    struct stat reserve = {};
    return ::lstat(reservePath().c_str(), &reserve) == 0 && reserve.st_size >= ReserveBytes;
}

bool History::releaseReserve()
{
    struct stat reserve = {};
    return ::lstat(reservePath().c_str(), &reserve) == 0 && reserve.st_size > 0
        && ::unlink(reservePath().c_str()) == 0;
}

// A file of ReserveBytes beside the history, given up when the disk is
// full; made again when there is room for it and as much again.
void History::keepReserve()
{
    if (reserveKept() || freeBytes() < 2 * ReserveBytes)
        return;
    const int fd = ::open(reservePath().c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (::posix_fallocate(fd, 0, ReserveBytes) != 0) [[maybe_unused]]
        const int ignored = ::ftruncate(fd, 0);
    ::close(fd);
}

bool History::shortOfRoom()
{
    keepReserve();
    return freeBytes() < ReserveBytes || !reserveKept();
}

// Refusals within their share, then the whole within the limit: refusals
// first, and the oldest rows of any kind only once no refusal is left.
void History::keepWithinLimit()
{
    keepReserve();
    int removed = 0;
    while (m_refusalBytes > m_sizeLimit / RefusalShare && deleteOldestRefusals())
        removed += sqlite3_changes(m_db);
    for (std::int64_t used = usedBytes();
         used > m_sizeLimit && (deleteOldestRefusals() || deleteOldest()); used = usedBytes())
        removed += sqlite3_changes(m_db);
    if (removed > 0)
        logLine(LOG_INFO, "deleted the %d oldest history rows, to keep it within %lld bytes",
            removed, static_cast<long long>(m_sizeLimit));
}

bool History::query(const EventFilter &filter, std::vector<Event> &events, bool *more)
{
    if (!open())
        return false;
    Statement select(m_db,
        "SELECT id, time_us, drawer, event, uid, user, pid, program, reason, seconds, repeats,"
        " state FROM events WHERE (time_us, id) > (?, ?) AND time_us < ? AND (? = 0 OR drawer = ?)"
        " ORDER BY time_us, id LIMIT ? OFFSET ?");
    if (!select.ok())
        return false;
    select.bind(1, filter.sinceUs);
    select.bind(2, filter.afterId);
    select.bind(3, filter.untilUs);
    select.bind(4, std::int64_t(filter.drawer));
    select.bind(5, std::int64_t(filter.drawer));
    select.bind(6, std::int64_t(filter.limit));
    select.bind(7, std::int64_t(filter.skip));
    std::size_t bytes = 0;
    int rows = 0;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(select)) == SQLITE_ROW) {
        Event event = readEvent(select);
        bytes += replySize(event);
        if (rows > 0 && bytes > filter.maxBytes)
            break;
        events.push_back(std::move(event));
        ++rows;
    }
    if (more)
        *more = step == SQLITE_ROW || rows == filter.limit;
    return step == SQLITE_DONE || step == SQLITE_ROW;
}

int History::deleteBefore(std::int64_t timeUs, std::int64_t limit)
{
    if (!open())
        return -1;
    Statement remove(m_db,
        "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time_us < ?"
        " ORDER BY time_us, id LIMIT ?)"
        " RETURNING CASE WHEN event = 'kick-refused' THEN " KESTRIN_ROW_BYTES " ELSE 0 END");
    remove.bind(1, timeUs);
    remove.bind(2, limit);
    std::int64_t refusals = 0;
    int step = SQLITE_ROW;
    int removed = 0;
    while (remove.ok() && (step = sqlite3_step(remove)) == SQLITE_ROW) {
        refusals += sqlite3_column_int64(remove, 0);
        ++removed;
    }
    if (step != SQLITE_DONE) {
        failed("cannot be trimmed");
        return -1;
    }
    m_refusalBytes = std::max<std::int64_t>(0, m_refusalBytes - refusals);
    return removed;
}

History::Trim History::deleteOlderThan(std::int64_t nowUs, int keepDays)
{
    constexpr std::int64_t DayUs = 86'400'000'000;
    Trim trim;
    if (!open())
        return {-1};
    const std::int64_t keepUs = std::int64_t(keepDays) * DayUs;
    Statement record(m_db,
        "SELECT coalesce(max(time_us), 0), count(*), count(*) FILTER (WHERE time_us < ?)"
        " FROM events");
    record.bind(1, nowUs - keepUs);
    if (!record.ok() || sqlite3_step(record) != SQLITE_ROW)
        return {-1};
    trim.newestUs = sqlite3_column_int64(record, 0);
    const std::int64_t rows = sqlite3_column_int64(record, 1);
    const std::int64_t due = sqlite3_column_int64(record, 2);
    trim.removed = deleteBefore(std::min(nowUs, trim.newestUs) - keepUs, rows / 2);
    trim.heldBack = int(std::max<std::int64_t>(0, due - std::max(trim.removed, 0)));
    return trim;
}

} // namespace drawerservice
