#include "history.h"

#include "busapi.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace drawerctl {

namespace bus = drawerdriver::bus;

namespace {

constexpr std::int64_t SecondUs = 1'000'000;

std::int64_t fromLocal(std::tm parts)
{
    parts.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&parts);
    return std::int64_t(seconds) * SecondUs;
}

std::tm localParts(std::int64_t timeUs)
{
    const std::time_t seconds = std::time_t(timeUs / SecondUs);
    std::tm parts {};
    ::localtime_r(&seconds, &parts);
    return parts;
}

// "15m" and the like: the time that long before now.
std::optional<std::int64_t> parseAge(const std::string &text, std::int64_t nowUs)
{
    std::size_t used = 0;
    long long count = 0;
    try {
        count = std::stoll(text, &used);
    } catch (...) {
        return std::nullopt;
    }
    if (count < 0 || used + 1 != text.size())
        return std::nullopt;
    const std::string_view units = "smhdw";
    const std::int64_t unitSeconds[] = {1, 60, 3600, 86400, 604800};
    const auto unit = units.find(text.back());
    if (unit == std::string_view::npos)
        return std::nullopt;
    return nowUs - count * unitSeconds[unit] * SecondUs;
}

std::string jsonText(const std::string &text)
{
    if (text.empty())
        return "null";
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

// A cell that starts as a formula would is made text by a leading ',
// since a spreadsheet would otherwise run what a caller wrote.
std::string csvText(std::string text)
{
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos)
        text.insert(0, 1, '\'');
    if (text.find_first_of(",\"\n\r") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + '"';
}

// For the table: a control character shows as \xHH (or \u00HH for C1),
// so that no text can move the cursor or forge a line.
std::string shown(const std::string &text)
{
    std::string safe;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size()
            && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        char escaped[8];
        if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(byte));
            safe += escaped;
        } else if (c1) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x",
                unsigned(static_cast<unsigned char>(text[++i])));
            safe += escaped;
        } else {
            safe += text[i];
        }
    }
    return safe;
}

template<typename T> std::string number(const std::optional<T> &value, const char *none)
{
    if (!value)
        return none;
    if constexpr (std::is_floating_point_v<T>) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", *value);
        return text;
    } else {
        return std::to_string(*value);
    }
}

// The columns of --csv and the keys of --json, in one order.
std::vector<std::pair<const char *, std::string>> fields(const Row &row, bool json)
{
    const auto text
        = [json](const std::string &value) { return json ? jsonText(value) : csvText(value); };
    const char *none = json ? "null" : "";
    return {{"time", json ? jsonText(isoTime(row.timeUs)) : isoTime(row.timeUs)},
        {"drawer", row.drawer ? std::to_string(row.drawer) : none}, {"event", text(row.kind)},
        {"uid", number(row.uid, none)}, {"user", text(row.user)}, {"pid", number(row.pid, none)},
        {"program", text(row.program)}, {"reason", text(row.reason)},
        {"seconds", number(row.seconds, none)}, {"repeats", std::to_string(row.repeats)},
        {"state", text(row.state)}};
}

// A kick shows its state unless it was delivered: a pending one may not
// have fired (the service stopped before the device took it).
std::string eventText(const Row &row)
{
    if (row.kind != bus::event::Kick || row.state.empty() || row.state == bus::state::Delivered)
        return shown(row.kind);
    return shown(row.kind) + " (" + shown(row.state) + ")";
}

void printTable(const std::vector<Row> &rows)
{
    if (rows.empty()) {
        std::printf("No events in that time.\n");
        return;
    }
    std::printf("%-19s %-6s %-16s %-12s %-7s %-8s %s\n", "TIME", "DRAWER", "EVENT", "USER", "PID",
        "SECONDS", "PROGRAM / REASON");
    for (const Row &row : rows) {
        std::string detail = shown(row.program);
        if (!row.reason.empty())
            detail += (detail.empty() ? "" : ": ") + shown(row.reason);
        if (row.repeats > 0)
            detail += " (and " + std::to_string(row.repeats) + " more)";
        std::printf("%-19s %-6s %-16s %-12s %-7s %-8s %s\n", localTime(row.timeUs).c_str(),
            row.drawer ? std::to_string(row.drawer).c_str() : "-", eventText(row).c_str(),
            row.user.empty() ? "-" : shown(row.user).c_str(), number(row.pid, "-").c_str(),
            row.seconds ? number(row.seconds, "").c_str() : "-", detail.c_str());
    }
}

// HistoryRows' rows, or HistoryPage's without the state.
int readRows(sd_bus_message *reply, bool withState, std::vector<Row> &rows)
{
    const char *signature = withState ? bus::StateRowSignature : bus::HistoryRowSignature;
    const std::string fields(signature + 1, std::strlen(signature) - 2);
    int r = sd_bus_message_enter_container(reply, 'a', signature);
    while (r > 0 && (r = sd_bus_message_enter_container(reply, 'r', fields.c_str())) > 0) {
        Row row;
        std::uint64_t id = 0;
        std::uint8_t drawer = 0;
        std::int64_t uid = -1, pid = -1;
        const char *event = nullptr, *user = nullptr, *program = nullptr, *reason = nullptr;
        const char *state = "";
        double seconds = -1;
        r = sd_bus_message_read(reply, "txysxsxssdu", &id, &row.timeUs, &drawer, &event, &uid,
            &user, &pid, &program, &reason, &seconds, &row.repeats);
        if (r > 0 && withState)
            r = sd_bus_message_read(reply, "s", &state);
        if (r > 0)
            r = sd_bus_message_exit_container(reply);
        if (r <= 0)
            break;
        row.state = state;
        row.id = std::int64_t(id);
        row.drawer = drawer;
        row.kind = event;
        row.user = user;
        row.program = program;
        row.reason = reason;
        // The method says "none" with -1.
        if (uid >= 0)
            row.uid = uid;
        if (pid >= 0)
            row.pid = pid;
        if (seconds >= 0)
            row.seconds = seconds;
        rows.push_back(std::move(row));
    }
    return r < 0 ? r : sd_bus_message_exit_container(reply);
}

} // namespace

std::int64_t dayStart(std::int64_t timeUs)
{
    std::tm parts = localParts(timeUs);
    parts.tm_hour = parts.tm_min = parts.tm_sec = 0;
    return fromLocal(parts);
}

std::int64_t nextDayStart(std::int64_t timeUs)
{
    std::tm parts = localParts(timeUs);
    parts.tm_hour = parts.tm_min = parts.tm_sec = 0;
    ++parts.tm_mday; // mktime carries it into the next month
    return fromLocal(parts);
}

std::optional<std::int64_t> parseWhen(const std::string &text, bool until, std::int64_t nowUs)
{
    const auto day
        = [until](std::int64_t timeUs) { return until ? nextDayStart(timeUs) : dayStart(timeUs); };
    if (text == "now")
        return nowUs;
    if (text == "today")
        return day(nowUs);
    if (text == "yesterday")
        return day(dayStart(nowUs) - 1);
    if (const auto age = parseAge(text, nowUs))
        return age;

    std::tm parts = localParts(nowUs);
    parts.tm_sec = 0;
    int year = 0, month = 0, monthDay = 0, consumed = 0;
    const char *input = text.c_str();
    if (std::sscanf(input, "%4d-%2d-%2d%n", &year, &month, &monthDay, &consumed) == 3
        && consumed == 10) {
        if (month < 1 || month > 12 || monthDay < 1 || monthDay > 31)
            return std::nullopt;
        parts.tm_year = year - 1900;
        parts.tm_mon = month - 1;
        parts.tm_mday = monthDay;
        if (text.size() == 10) {
            parts.tm_hour = parts.tm_min = 0;
            return day(fromLocal(parts));
        }
        if (text[10] != ' ' && text[10] != 'T')
            return std::nullopt;
        input += 11;
    }
    consumed = 0;
    const int fields = std::sscanf(input, "%2d:%2d%n:%2d%n", &parts.tm_hour, &parts.tm_min,
        &consumed, &parts.tm_sec, &consumed);
    if (fields < 2 || input[consumed] != '\0' || parts.tm_hour > 23 || parts.tm_min > 59
        || parts.tm_sec > 60 || parts.tm_mon < 0 || parts.tm_mon > 11 || parts.tm_mday < 1
        || parts.tm_mday > 31)
        return std::nullopt;
    return fromLocal(parts);
}

std::string isoTime(std::int64_t timeUs)
{
    const std::time_t seconds = std::time_t(timeUs / SecondUs);
    std::tm parts {};
    ::gmtime_r(&seconds, &parts);
    char text[48];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    char micros[16];
    std::snprintf(micros, sizeof micros, ".%06dZ", int(timeUs % SecondUs));
    return std::string(text) + micros;
}

std::string localTime(std::int64_t timeUs)
{
    const std::tm parts = localParts(timeUs);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

int fetchRows(sd_bus *connection, std::int64_t sinceUs, std::int64_t untilUs, int drawer,
    std::vector<Row> &rows, sd_bus_error *error)
{
    // Each page starts after the last row so far, a place that deleting
    // older rows meanwhile does not move.
    std::int64_t after = 0;
    bool withState = true;
    for (int more = 1; more;) {
        sd_bus_message *reply = nullptr;
        int r = sd_bus_call_method(connection, bus::ServiceName, bus::ManagerPath,
            bus::ManagerInterface, withState ? bus::HistoryRowsMethod : bus::HistoryPageMethod,
            error, &reply, "xtxyu", sinceUs, std::uint64_t(after), untilUs, std::uint8_t(drawer),
            std::uint32_t(0));
        if (r < 0 && withState && sd_bus_error_has_name(error, SD_BUS_ERROR_UNKNOWN_METHOD)) {
            sd_bus_error_free(error); // a service older than HistoryRows
            withState = false;
            continue;
        }
        const std::size_t before = rows.size();
        if (r >= 0 && (r = readRows(reply, withState, rows)) >= 0)
            r = sd_bus_message_read(reply, "b", &more);
        if (r < 0 && !sd_bus_error_is_set(error))
            sd_bus_error_set_errno(error, r);
        sd_bus_message_unref(reply);
        if (r < 0)
            return r;
        if (rows.size() == before)
            return 0;
        sinceUs = rows.back().timeUs;
        after = rows.back().id;
    }
    return 0;
}

std::string parseHistoryOptions(int argc, char *argv[], HistoryOptions &options)
{
    const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    for (int i = 0; i < argc; ++i) {
        const std::string_view option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--csv" || option == "--json") {
            options.format = option == "--csv" ? Format::Csv : Format::Json;
        } else if (option == "--drawer" && hasValue) {
            const std::string_view value = argv[++i];
            if (value.size() != 1 || value[0] < '1' || value[0] > '8')
                return "--drawer needs a drawer number, 1 to 8";
            options.drawer = value[0] - '0';
        } else if ((option == "--since" || option == "--until") && hasValue) {
            const auto when = parseWhen(argv[++i], option == "--until", now);
            if (!when)
                return std::string("cannot read the time '") + argv[i]
                    + "' (try 2026-12-08, '2026-12-08 14:30', 14:30, today, yesterday, 1h)";
            (option == "--since" ? options.sinceUs : options.untilUs) = *when;
        } else {
            return "unknown option '" + std::string(option) + "' for history";
        }
    }
    return {};
}

void printRows(const std::vector<Row> &rows, Format format)
{
    if (format == Format::Table)
        return printTable(rows);
    if (format == Format::Csv) {
        std::printf("time,drawer,event,uid,user,pid,program,reason,seconds,repeats\n");
        for (const Row &row : rows) {
            std::string line;
            for (const auto &[key, value] : fields(row, false))
                line += (line.empty() ? "" : ",") + value;
            std::printf("%s\n", line.c_str());
        }
        return;
    }
    for (const Row &row : rows) {
        std::string line;
        for (const auto &[key, value] : fields(row, true))
            line += std::string(line.empty() ? "{" : ",") + '"' + key + "\":" + value;
        std::printf("%s}\n", line.c_str());
    }
}

int runHistory(sd_bus *connection, const HistoryOptions &options, sd_bus_error *error)
{
    std::vector<Row> rows;
    const int r
        = fetchRows(connection, options.sinceUs, options.untilUs, options.drawer, rows, error);
    if (r >= 0)
        printRows(rows, options.format);
    return r;
}

} // namespace drawerctl
