// kestrin-drawer-ctl report: one day of the record, per drawer: openings,
// kicks, refusals, time open and left-open alarms; as text, or as a page of
// its own with a timeline of the day.
#pragma once

#include "history.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace drawerctl {

struct DrawerDay {
    int drawer = 0;
    int openings = 0;
    int kicks = 0;
    int refusals = 0;
    int undelivered = 0;
    int alarms = 0;
    double totalOpenSeconds = 0;
    double longestOpenSeconds = 0;
    // For the timeline: times open (cut to the day), kicks, alarms.
    std::vector<std::pair<std::int64_t, std::int64_t>> openIntervals;
    std::vector<std::int64_t> kickTimes;
    std::vector<std::int64_t> alarmTimes;
};

struct DayReport {
    std::int64_t startUs = 0;
    std::int64_t endUs = 0;
    std::vector<DrawerDay> drawers; // those with events, by number
};

// The day's figures from its rows, oldest first. A drawer still open at
// the end counts as open until then (or until now, for today).
DayReport summarize(
    const std::vector<Row> &rows, std::int64_t startUs, std::int64_t endUs, std::int64_t nowUs);

struct ReportOptions {
    std::int64_t dayUs = 0; // a time in the day
    std::string htmlFile;
};
// Parses the options after "report"; an empty problem when they are fine.
std::string parseReportOptions(int argc, char *argv[], ReportOptions &options);
// The report of the day: 0 done, CannotWrite when the page could not be
// written, or a negative errno with error filled.
int runReport(sd_bus *connection, const ReportOptions &options, sd_bus_error *error);

void printReport(const DayReport &report);
// A page with no script and nothing to download: the table and an SVG
// timeline, one row per drawer.
std::string reportHtml(const DayReport &report);

} // namespace drawerctl
