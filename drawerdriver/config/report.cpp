#include "config/report.h"

#include "config/logwriter.h"

#include <chrono>
#include <map>
#include <mutex>

namespace drawerdriver {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto Quiet = std::chrono::minutes(1);

// What has been told about one subject.
struct Told {
    std::string current; // the problem standing now, or empty
    std::string last; // the last one told
    Clock::time_point at; // when it was told
    int untold = 0; // its returns since, not yet told
};

bool isControl(unsigned char c, unsigned char next)
{
    // C0 controls but the line break, DEL, and C1 controls written as UTF-8.
    return (c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F);
}

std::string capped(std::string text)
{
    if (text.size() <= LongestMessage)
        return text;
    const std::size_t cut = text.size() - LongestMessage;
    text.resize(LongestMessage);
    // Cut at a line break where there is one near, never inside a character.
    if (const auto lineEnd = text.rfind('\n');
        lineEnd != std::string::npos && lineEnd > LongestMessage / 2)
        text.resize(lineEnd);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80)
        text.pop_back();
    if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0)
        text.pop_back();
    return text + " ... (" + std::to_string(cut) + " more bytes not shown)";
}

// Everything told so far. Never destroyed: a monitor still stopping while
// the process exits may tell one last thing.
struct Reports {
    std::mutex mutex;
    std::map<std::string, Told> told;
};
Reports *reports = new Reports;

} // namespace

void restartReportsAfterFork()
{
    reports = new Reports; // the old one's lock may be held by a thread that is gone
}

std::string printable(std::string_view text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (!isControl(c, next)) {
            shown += char(c);
            continue;
        }
        const unsigned char code = c == 0xC2 ? next : c;
        i += c == 0xC2;
        shown.append("\\x").append(1, digits[code >> 4]).append(1, digits[code & 15]);
    }
    return shown;
}

void reportProblem(const std::string &subject, const std::string &problem)
{
    std::lock_guard guard(reports->mutex);
    Told &entry = reports->told[subject];
    if (problem == entry.current)
        return;
    entry.current = problem;
    if (problem.empty())
        return;
    const auto now = Clock::now();
    // A problem that comes and goes (a printer that drops every other
    // question) is counted, and told again at most once a minute.
    if (problem == entry.last && now - entry.at < Quiet) {
        ++entry.untold;
        return;
    }
    std::string text = problem;
    if (problem == entry.last && entry.untold > 0)
        text += " (again " + std::to_string(entry.untold) + " times in the last "
            + std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(now - entry.at).count())
            + " s)";
    entry.last = problem;
    entry.at = now;
    entry.untold = 0;
    writeLogLine(capped(printable(text)));
}

} // namespace drawerdriver
