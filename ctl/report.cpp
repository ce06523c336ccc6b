#include "report.h"

#include "config/ownfile.h"
#include "exitcodes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>

namespace drawerctl {

namespace bus = drawerdriver::bus;

namespace {

constexpr double SecondUs = 1e6;

std::string duration(double seconds)
{
    const long total = long(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return text;
}

std::string htmlEscaped(const std::string &text)
{
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// Follows one drawer through the day.
struct Tracker {
    DrawerDay day;
    std::optional<std::int64_t> openSince;

    void endOpen(std::int64_t startUs, std::int64_t endUs)
    {
        if (endUs > startUs) {
            day.openIntervals.emplace_back(startUs, endUs);
            const double seconds = double(endUs - startUs) / SecondUs;
            day.totalOpenSeconds += seconds;
            day.longestOpenSeconds = std::max(day.longestOpenSeconds, seconds);
        }
        openSince.reset();
    }
};

} // namespace

DayReport summarize(
    const std::vector<Row> &rows, std::int64_t startUs, std::int64_t endUs, std::int64_t nowUs)
{
    std::map<int, Tracker> drawers;
    for (const Row &row : rows) {
        if (row.timeUs < startUs || row.timeUs >= endUs)
            continue;
        if (row.drawer == 0) {
            // The service stopped: what it saw open, it no longer sees.
            if (row.kind == bus::event::ServiceStop)
                for (auto &[number, tracker] : drawers)
                    if (tracker.openSince)
                        tracker.endOpen(*tracker.openSince, row.timeUs);
            continue;
        }
        Tracker &tracker = drawers[row.drawer];
        tracker.day.drawer = row.drawer;
        if (row.kind == bus::event::Opened) {
            // A service restarted after a kill finds the drawer still open:
            // the same opening goes on.
            if (!tracker.openSince) {
                ++tracker.day.openings;
                tracker.openSince = row.timeUs;
            }
        } else if (row.kind == bus::event::Closed) {
            // Opened before the day began: the row says how long ago.
            const auto opened = tracker.openSince.value_or(
                row.timeUs - std::int64_t(row.seconds.value_or(0) * SecondUs));
            tracker.endOpen(std::max(opened, startUs), row.timeUs);
        } else if (row.kind == bus::event::Gone && tracker.openSince) {
            tracker.endOpen(*tracker.openSince, row.timeUs);
        } else if (row.kind == bus::event::Kick) {
            ++tracker.day.kicks;
            tracker.day.kickTimes.push_back(row.timeUs);
        } else if (row.kind == bus::event::KickRefused) {
            tracker.day.refusals += 1 + int(row.repeats);
        } else if (row.kind == bus::event::KickUndelivered) {
            ++tracker.day.undelivered;
        } else if (row.kind == bus::event::LeftOpen) {
            ++tracker.day.alarms;
            tracker.day.alarmTimes.push_back(row.timeUs);
        }
    }
    DayReport report {startUs, endUs, {}};
    for (auto &[number, tracker] : drawers) {
        if (tracker.openSince)
            tracker.endOpen(
                *tracker.openSince, std::min(endUs, std::max(nowUs, *tracker.openSince)));
        report.drawers.push_back(std::move(tracker.day));
    }
    return report;
}

void printReport(const DayReport &report)
{
    std::printf("Drawers on %s\n\n", localTime(report.startUs).substr(0, 10).c_str());
    if (report.drawers.empty()) {
        std::printf("No drawer events on that day.\n");
        return;
    }
    std::printf("%-7s %8s %6s %9s %12s %11s %11s %7s\n", "DRAWER", "OPENINGS", "KICKS", "REFUSALS",
        "UNDELIVERED", "TOTAL OPEN", "LONGEST", "ALARMS");
    for (const DrawerDay &day : report.drawers)
        std::printf("%-7d %8d %6d %9d %12d %11s %11s %7d\n", day.drawer, day.openings, day.kicks,
            day.refusals, day.undelivered, duration(day.totalOpenSeconds).c_str(),
            duration(day.longestOpenSeconds).c_str(), day.alarms);
}

namespace {

std::string pageStart(const std::string &date)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>"
           "Cash drawers on "
        + date
        + "</title>\n<style>\n"
          "body{font-family:sans-serif;margin:2em;color:#222}\n"
          "table{border-collapse:collapse;margin-bottom:2em}\n"
          "th,td{border:1px solid #999;padding:.3em .8em;text-align:right}\n"
          "th:first-child,td:first-child{text-align:left}\n"
          "svg{width:100%;height:auto;max-width:1000px}\n"
          "@media print{body{margin:0}}\n"
          "</style></head><body>\n<h1>Cash drawers on "
        + date + "</h1>\n";
}

std::string figuresTable(const DayReport &report)
{
    std::string table = "<table><tr><th>Drawer</th><th>Openings</th><th>Kicks</th><th>Refusals</th>"
                        "<th>Undelivered</th><th>Total open</th><th>Longest open</th><th>Left-open "
                        "alarms</th></tr>\n";
    for (const DrawerDay &day : report.drawers)
        table += "<tr><td>Drawer " + std::to_string(day.drawer) + "</td><td>"
            + std::to_string(day.openings) + "</td><td>" + std::to_string(day.kicks) + "</td><td>"
            + std::to_string(day.refusals) + "</td><td>" + std::to_string(day.undelivered)
            + "</td><td>" + duration(day.totalOpenSeconds) + "</td><td>"
            + duration(day.longestOpenSeconds) + "</td><td>" + std::to_string(day.alarms)
            + "</td></tr>\n";
    return table + "</table>\n";
}

// The timeline's drawing: the day runs across Width units after a Left
// column of names, a row of RowHeight for each drawer below Top.
struct Timeline {
    static constexpr int Left = 80, Width = 960, RowHeight = 40, Top = 30;
    const DayReport &report;
    int height = Top + RowHeight * int(report.drawers.size()) + 30;

    std::string x(std::int64_t timeUs) const
    {
        const double span = double(report.endUs - report.startUs);
        return std::to_string(Left + double(timeUs - report.startUs) / span * Width);
    }

    std::string hours() const
    {
        std::string lines;
        for (int hour = 0; hour <= 24; hour += 2) {
            const std::string at = std::to_string(Left + hour * Width / 24);
            lines += "<line x1=\"" + at + "\" y1=\"" + std::to_string(Top - 5) + "\" x2=\"" + at
                + "\" y2=\"" + std::to_string(height - 25) + "\" stroke=\"#ccc\"/>" + "<text x=\""
                + at + "\" y=\"" + std::to_string(Top - 10)
                + "\" font-size=\"12\" text-anchor=\"middle\">" + std::to_string(hour)
                + ":00</text>\n";
        }
        return lines;
    }

    std::string drawerRow(const DrawerDay &day, int y) const
    {
        const std::string middle = std::to_string(y + RowHeight / 2);
        const double span = double(report.endUs - report.startUs);
        std::string row = "<text x=\"4\" y=\"" + std::to_string(y + RowHeight / 2 + 5)
            + "\" font-size=\"14\">Drawer " + std::to_string(day.drawer) + "</text>\n"
            + "<line x1=\"" + std::to_string(Left) + "\" y1=\"" + middle + "\" x2=\""
            + std::to_string(Left + Width) + "\" y2=\"" + middle + "\" stroke=\"#888\"/>\n";
        // At least two units wide, so that a short opening still shows.
        for (const auto &[from, to] : day.openIntervals)
            row += "<rect x=\"" + x(from) + "\" y=\"" + std::to_string(y + 10) + "\" width=\""
                + std::to_string(std::max(2.0, double(to - from) / span * Width)) + "\" height=\""
                + std::to_string(RowHeight - 20)
                + "\" fill=\"#2a7ab8\" shape-rendering=\"crispEdges\"><title>open "
                + htmlEscaped(localTime(from).substr(11)) + " for "
                + duration(double(to - from) / SecondUs) + "</title></rect>\n";
        for (const std::int64_t kick : day.kickTimes)
            row += "<path d=\"M" + x(kick) + " " + std::to_string(y + 9) + " l-4 -7 h8 z\" "
                + "fill=\"#222\"><title>kick " + localTime(kick).substr(11) + "</title></path>\n";
        for (const std::int64_t alarm : day.alarmTimes)
            row += "<circle cx=\"" + x(alarm) + "\" cy=\"" + std::to_string(y + RowHeight - 6)
                + "\" r=\"4\" fill=\"#d22\"><title>left open, alarm " + localTime(alarm).substr(11)
                + "</title></circle>\n";
        return row;
    }

    std::string legend() const
    {
        const std::string baseline = std::to_string(height - 8);
        return "<rect x=\"" + std::to_string(Left) + "\" y=\"" + std::to_string(height - 18)
            + "\" width=\"20\" height=\"10\" fill=\"#2a7ab8\"/><text x=\""
            + std::to_string(Left + 25) + "\" y=\"" + baseline + "\" font-size=\"12\">open</text>\n"
            + "<path d=\"M" + std::to_string(Left + 100) + " " + std::to_string(height - 9)
            + " l-4 -7 h8 z\" fill=\"#222\"/><text x=\"" + std::to_string(Left + 110) + "\" y=\""
            + baseline + "\" font-size=\"12\">kick</text>\n" + "<circle cx=\""
            + std::to_string(Left + 170) + "\" cy=\"" + std::to_string(height - 12)
            + "\" r=\"4\" fill=\"#d22\"/><text x=\"" + std::to_string(Left + 180) + "\" y=\""
            + baseline + "\" font-size=\"12\">left-open alarm</text>\n";
    }

    std::string svg() const
    {
        std::string drawing = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 "
            + std::to_string(Left + Width + 20) + " " + std::to_string(height)
            + "\" role=\"img\" aria-label=\"Timeline of the day\">\n" + hours();
        for (std::size_t i = 0; i < report.drawers.size(); ++i)
            drawing += drawerRow(report.drawers[i], Top + RowHeight * int(i));
        return drawing + legend() + "</svg>\n";
    }
};

} // namespace

std::string reportHtml(const DayReport &report)
{
    const std::string page = pageStart(localTime(report.startUs).substr(0, 10));
    if (report.drawers.empty())
        return page + "<p>No drawer events on that day.</p>\n</body></html>\n";
    return page + figuresTable(report) + "<h2>Timeline</h2>\n" + Timeline {report}.svg()
        + "</body></html>\n";
}

std::string parseReportOptions(int argc, char *argv[], ReportOptions &options)
{
    const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    options.dayUs = now;
    for (int i = 0; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--day" && i + 1 < argc) {
            const auto day = parseWhen(argv[++i], false, now);
            if (!day)
                return std::string("cannot read the day '") + argv[i]
                    + "' (try 2026-12-08, today, yesterday)";
            options.dayUs = *day;
        } else if (option == "--html" && i + 1 < argc) {
            options.htmlFile = argv[++i];
        } else {
            return "unknown option '" + option + "' for report";
        }
    }
    return {};
}

int runReport(sd_bus *connection, const ReportOptions &options, sd_bus_error *error)
{
    const std::int64_t start = dayStart(options.dayUs);
    const std::int64_t end = nextDayStart(options.dayUs);
    std::vector<Row> rows;
    const int r = fetchRows(connection, start, end, 0, rows, error);
    if (r < 0)
        return r;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    const DayReport report = summarize(rows, start, end, now);
    printReport(report);
    if (options.htmlFile.empty())
        return 0;
    // Root may write it into a folder of someone else's: never through a
    // link planted there.
    if (const std::string problem
        = drawerdriver::replaceOwnFile(options.htmlFile, reportHtml(report), 0644);
        !problem.empty()) {
        std::fprintf(stderr, "kestrin-drawer-ctl: %s\n", problem.c_str());
        return CannotWrite;
    }
    std::printf("\nThe page is in %s.\n", options.htmlFile.c_str());
    return 0;
}

} // namespace drawerctl
