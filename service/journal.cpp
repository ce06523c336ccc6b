#include "journal.h"

#include "config/logwriter.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include <sys/uio.h>
#include <systemd/sd-journal.h>

namespace drawerservice {

namespace bus = drawerdriver::bus;

namespace {

bool standardErrorIsJournal()
{
    static const bool journal = drawerdriver::standardErrorIsJournal();
    return journal;
}

std::string formatted(const char *format, va_list arguments)
{
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(std::size_t(std::max(length, 0)), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    return text;
}

std::string number(double value, const char *format)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Who asked, as the kick's line has always named them.
std::string caller(const Event &event)
{
    std::string who = event.uid ? "uid " + std::to_string(*event.uid) : "uid ?";
    if (event.pid)
        who += " (pid " + std::to_string(*event.pid) + ", " + event.program + ")";
    return who;
}

// The entry's MESSAGE, from cleaned fields.
std::string sentence(const Event &event)
{
    const std::string drawer = "drawer " + std::to_string(event.drawer);
    const std::string seconds = event.seconds ? number(*event.seconds, "%.1f") + " s" : "";
    if (event.kind == bus::event::Kick)
        return drawer + " opened for " + caller(event) + ": " + event.reason;
    if (event.kind == bus::event::KickRefused)
        return drawer + " refused to " + caller(event) + ": " + event.reason;
    if (event.kind == bus::event::KickUndelivered)
        return drawer + ": a kick was not delivered: " + event.reason;
    if (event.kind == bus::event::Opened)
        return drawer + " is open";
    if (event.kind == bus::event::Closed)
        return drawer + " closed" + (seconds.empty() ? "" : " after " + seconds);
    if (event.kind == bus::event::LeftOpen)
        return drawer + " left open for " + seconds;
    if (event.kind == bus::event::Gone)
        return drawer + "'s device " + event.program + " is gone";
    if (event.kind == bus::event::Back)
        return drawer + "'s device " + event.program + " is back";
    if (event.kind == bus::event::ServiceStart)
        return "kestrin-drawerd started, as " + caller(event);
    if (event.kind == bus::event::ServiceStop)
        return "kestrin-drawerd stopped";
    return (event.drawer ? drawer + ": " : std::string("kestrin-drawerd: ")) + event.kind;
}

// KEY=VALUE for each field that is known.
std::vector<std::string> entryFields(const Event &event)
{
    const bool warning = event.kind == bus::event::Gone || event.kind == bus::event::KickUndelivered
        || event.kind == bus::event::LeftOpen;
    std::vector<std::string> fields {"MESSAGE=" + sentence(event),
        std::string("MESSAGE_ID=") + EventMessageId,
        "PRIORITY=" + std::to_string(warning ? LOG_WARNING : LOG_INFO),
        "SYSLOG_IDENTIFIER=kestrin-drawerd", "KESTRIN_EVENT=" + event.kind};
    if (event.drawer > 0)
        fields.push_back("KESTRIN_DRAWER=" + std::to_string(event.drawer));
    const std::pair<const char *, const std::string &> texts[] = {{"KESTRIN_USER=", event.user},
        {"KESTRIN_PROGRAM=", event.program}, {"KESTRIN_REASON=", event.reason}};
    for (const auto &[key, value] : texts)
        if (!value.empty())
            fields.push_back(key + value);
    if (event.uid)
        fields.push_back("KESTRIN_UID=" + std::to_string(*event.uid));
    if (event.pid)
        fields.push_back("KESTRIN_PID=" + std::to_string(*event.pid));
    if (event.seconds)
        fields.push_back("KESTRIN_SECONDS=" + number(*event.seconds, "%.3f"));
    return fields;
}

} // namespace

void startLogging()
{
    if (standardErrorIsJournal())
        drawerdriver::writeLogLinesToJournal("kestrin-drawerd");
}

void logLine(int priority, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const std::string line = "kestrin-drawerd: " + formatted(format, arguments);
    va_end(arguments);
    if (standardErrorIsJournal())
        std::fputs(drawerdriver::withPriority(priority, line).c_str(), stderr);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

int checked(int result, const char *what)
{
    if (result < 0)
        logLine(LOG_ERR, "cannot %s: %s", what, std::strerror(-result));
    return result;
}

void tellEvent(const Event &event)
{
    Event shown = event;
    // As the record keeps them.
    for (std::string *text : {&shown.kind, &shown.user, &shown.program, &shown.reason})
        *text = cleanField(*text);
    const std::vector<std::string> fields = entryFields(shown);
    std::vector<iovec> vector;
    for (const std::string &field : fields)
        vector.push_back({const_cast<char *>(field.data()), field.size()});
    // Fails at once where there is no journal (started by hand).
    const bool sent = sd_journal_sendv(vector.data(), int(vector.size())) >= 0;
    if (shown.kind == bus::event::Kick && !(sent && standardErrorIsJournal()))
        logLine(LOG_INFO, "%s", sentence(shown).c_str());
}

} // namespace drawerservice
