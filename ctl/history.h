// kestrin-drawer-ctl history: the service's record, read with its History
// method, as a table, CSV or JSON lines; and the times its options take.
#pragma once

#include "busapi.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

namespace drawerctl {

// One row of the record, as the HistoryPage method gives it.
using Row = drawerdriver::bus::HistoryRow;

enum class Format { Table, Csv, Json };

struct HistoryOptions {
    int drawer = 0;
    std::int64_t sinceUs = 0;
    std::int64_t untilUs = INT64_MAX;
    Format format = Format::Table;
};

// A time as people write it, in local time: "now", "today", "yesterday",
// "2026-12-08", "2026-12-08 14:30[:15]", "14:30", or an age such as "90s",
// "15m", "1h", "2d", "1w". A day as an end (until) means its end. Empty if
// the text is none of these.
std::optional<std::int64_t> parseWhen(const std::string &text, bool until, std::int64_t nowUs);
// The start of the local day that holds the time, and of the next one.
std::int64_t dayStart(std::int64_t timeUs);
std::int64_t nextDayStart(std::int64_t timeUs);

// ISO 8601 in UTC, to the microsecond: 2026-12-08T14:30:15.123456Z.
std::string isoTime(std::int64_t timeUs);
std::string localTime(std::int64_t timeUs);

// Every row in the range, asked for in pages, each after the last row of
// the one before. Fills error on failure.
int fetchRows(sd_bus *connection, std::int64_t sinceUs, std::int64_t untilUs, int drawer,
    std::vector<Row> &rows, sd_bus_error *error);

// Parses the options after "history"; an empty problem when they are fine.
std::string parseHistoryOptions(int argc, char *argv[], HistoryOptions &options);
void printRows(const std::vector<Row> &rows, Format format);
// Reads and prints the rows: 0, or a negative errno with error filled.
int runHistory(sd_bus *connection, const HistoryOptions &options, sd_bus_error *error);

} // namespace drawerctl
