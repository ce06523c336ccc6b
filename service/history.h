// The drawer service's history: one row per event (kicks, refusals, the
// sensor, the device, the service itself) in an append-only SQLite file.
// Every append is committed before it returns, so that an event the service
// acknowledged survives the service being killed. A store that cannot write
// (a full disk, a read-only file) says so once on standard error and tells
// the service through working().
//
// Rows about money (kicks, openings, closings, a drawer gone) outrank the
// rest: refusals may take a tenth of the size limit, the oldest going first
// past it; past the whole limit refusals go first, and rows about money
// only by age once no refusal is left. A file beside the history is kept
// in reserve for a full disk, and only rows about money may use it.
#pragma once

#include "busapi.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace drawerservice {

// A row of the record; the bus contract holds its type and words.
using Event = drawerdriver::bus::HistoryRow;

// Rows come in the order of (time, id). A page starts after the last row
// of the one before, (sinceUs, afterId), which stays in place when older
// rows are deleted meanwhile; afterId 0 starts at sinceUs itself.
struct EventFilter {
    std::int64_t sinceUs = 0;
    std::int64_t afterId = 0;
    std::int64_t untilUs = INT64_MAX; // exclusive
    int drawer = 0; // 0: every drawer
    int skip = 0; // further rows to pass over, for the History method's paging
    int limit = 10000;
    std::size_t maxBytes = SIZE_MAX; // about; at least one row is given
};

// The most characters the caller's fields (user, program, reason) keep.
inline constexpr int FieldLimit = 200;
// The text as valid UTF-8 (each invalid byte becomes U+FFFD), without C0
// and C1 control characters and DEL, cut to limit characters.
std::string cleanField(std::string_view text, int limit = FieldLimit);

// A kick, a kick's fate, an opening, a closing, a drawer gone: what a shop
// counts its money by.
bool isAboutMoney(const std::string &kind);

class History {
public:
    enum class Mode { Write, Read };
    // Opens or creates the file, brought up to date; a file that cannot be
    // opened is tried again at the next call. A reader (for the loop, where
    // nothing may wait for the disk) neither creates nor changes the file.
    explicit History(std::string path, Mode mode = Mode::Write);
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    const std::string &path() const { return m_path; }
    bool working() const { return m_working; }

    // Committed before it returns; false if the store cannot write. The
    // text fields are cleaned first. On a full disk refusals make room, and
    // a row about money may take the reserve; past the size limit rows go
    // as the class says. The new row's id in *id.
    bool append(const Event &event, std::int64_t *id = nullptr);
    // Adds to the repeats of a row.
    bool addRepeats(std::int64_t id, std::uint32_t count);
    // A kick's state, from namespace bus::state.
    bool setState(std::int64_t id, const std::string &state);
    // A kick that was not sent: its row becomes a refusal with the reason.
    bool turnIntoRefusal(std::int64_t id, const std::string &reason);
    // The disk has less room than the reserve, or the reserve is spent:
    // only rows about money are written then.
    bool shortOfRoom();
    // Oldest first, cleaned as written; false if the file cannot be read.
    // *more tells whether the limit or the bytes ended the page.
    bool query(const EventFilter &filter, std::vector<Event> &events, bool *more = nullptr);
    // Deletes the oldest rows older than the time, at most limit (-1: no
    // limit); how many, or -1.
    int deleteBefore(std::int64_t timeUs, std::int64_t limit = -1);
    // The rows older than keepDays by the clock's time nowUs, as far as
    // the record agrees with the clock: a clock set ahead must not empty
    // the record. No row within keepDays of the newest row goes, nor more
    // than half the rows at once; heldBack counts those the clock alone
    // would have deleted.
    struct Trim {
        int removed = 0; // -1: failed
        int heldBack = 0;
        std::int64_t newestUs = 0;
    };
    Trim deleteOlderThan(std::int64_t nowUs, int keepDays);
    // The most bytes the rows may take; the oldest go first past it.
    void setSizeLimit(std::int64_t bytes) { m_sizeLimit = bytes; }
    // The bytes the rows take in the file now, and about the refusals'.
    std::int64_t usedBytes();
    std::int64_t refusalBytes() const { return m_refusalBytes; }

private:
    bool open();
    bool migrate();
    void close();
    void failed(const char *what);
    bool insert(const Event &event);
    template<typename T> bool update(const char *sql, const T &value, std::int64_t id);
    bool makeRoom(bool aboutMoney);
    // A row's bytes, as the refusals' share counts them.
    std::int64_t storedBytes(std::int64_t id);
    bool deleteOldestRefusals();
    bool deleteOldest();
    void keepWithinLimit();
    std::string reservePath() const;
    std::int64_t freeBytes() const;
    bool reserveKept() const;
    bool releaseReserve();
    void keepReserve();

    const std::string m_path;
    const Mode m_mode;
    sqlite3 *m_db = nullptr;
    bool m_working = false;
    bool m_told = false;
    std::int64_t m_sizeLimit = INT64_MAX;
    std::int64_t m_refusalBytes = 0;
};

// The folder for the history: $STATE_DIRECTORY (set by systemd), or
// $XDG_STATE_HOME/kestrin-drawer, or ~/.local/state/kestrin-drawer. Made if
// missing.
std::string stateFolder();

std::int64_t nowUs();
// The time as "YYYY-MM-DD HH:MM:SS UTC", for the service's lines.
std::string utcText(std::int64_t timeUs);
// An event of this moment.
Event newEvent(int drawer, std::string kind);

} // namespace drawerservice
