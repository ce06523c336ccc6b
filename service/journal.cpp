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

namespace {

// Each text field of an entry, in characters, as in the record: a caller
// names its own program, and a journal shipper carries the entry on.
constexpr std::size_t LongestField = 200;

bool standardErrorIsJournal()
{
    static const bool journal = drawerdriver::standardErrorIsJournal();
    return journal;
}

// The length of the UTF-8 character the text starts with, or 0 if it does
// not start with one: no overlong forms, surrogates or code points past
// U+10FFFF.
std::size_t characterLength(std::string_view text)
{
    const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    const std::size_t length = lead < 0x80 ? 1
        : lead >= 0xC2 && lead <= 0xDF     ? 2
        : lead >= 0xE0 && lead <= 0xEF     ? 3
        : lead >= 0xF0 && lead <= 0xF4     ? 4
                                           : 0;
    if (length == 0 || length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F)
        || (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) > 0x8F))
        return 0;
    return length;
}

// C0 controls, DEL and the C1 controls (U+0080 to U+009F).
bool isControl(std::string_view character)
{
    const auto lead = static_cast<unsigned char>(character[0]);
    return (character.size() == 1 && (lead < 0x20 || lead == 0x7F))
        || (character.size() == 2 && lead == 0xC2
            && static_cast<unsigned char>(character[1]) <= 0x9F);
}

// The text as the record keeps it: valid UTF-8 (a stray byte becomes
// U+FFFD), without control characters, at most limit characters.
std::string cleaned(std::string_view text, std::size_t limit)
{
    std::string clean;
    std::size_t characters = 0;
    while (!text.empty() && characters < limit) {
        const std::size_t length = characterLength(text);
        if (length == 0) {
            clean += "\xEF\xBF\xBD";
            ++characters;
            text.remove_prefix(1);
            continue;
        }
        const std::string_view character = text.substr(0, length);
        text.remove_prefix(length);
        if (!isControl(character)) {
            clean += character;
            ++characters;
        }
    }
    return clean;
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
    if (event.kind == "kick")
        return drawer + " opened for " + caller(event) + ": " + event.reason;
    if (event.kind == "kick-refused")
        return drawer + " refused to " + caller(event) + ": " + event.reason;
    if (event.kind == "kick-undelivered")
        return drawer + ": a kick was not delivered: " + event.reason;
    if (event.kind == "opened")
        return drawer + " is open";
    if (event.kind == "closed")
        return drawer + " closed" + (seconds.empty() ? "" : " after " + seconds);
    if (event.kind == "left-open")
        return drawer + " left open for " + seconds;
    if (event.kind == "gone")
        return drawer + "'s device " + event.program + " is gone";
    if (event.kind == "back")
        return drawer + "'s device " + event.program + " is back";
    if (event.kind == "service-start")
        return "kestrin-drawerd started, as " + caller(event);
    if (event.kind == "service-stop")
        return "kestrin-drawerd stopped";
    return (event.drawer ? drawer + ": " : std::string("kestrin-drawerd: ")) + event.kind;
}

// KEY=VALUE for each field that is known.
std::vector<std::string> entryFields(const Event &event)
{
    const bool warning
        = event.kind == "gone" || event.kind == "kick-undelivered" || event.kind == "left-open";
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
    for (std::string *text : {&shown.kind, &shown.user, &shown.program, &shown.reason})
        *text = cleaned(*text, LongestField);
    const std::vector<std::string> fields = entryFields(shown);
    std::vector<iovec> vector;
    for (const std::string &field : fields)
        vector.push_back({const_cast<char *>(field.data()), field.size()});
    // Fails at once where there is no journal (started by hand).
    const bool sent = sd_journal_sendv(vector.data(), int(vector.size())) >= 0;
    if (shown.kind == "kick" && !(sent && standardErrorIsJournal()))
        logLine(LOG_INFO, "%s", sentence(shown).c_str());
}

} // namespace drawerservice
