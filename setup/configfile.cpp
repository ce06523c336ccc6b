#include "configfile.h"

#include "config/config.h"
#include "config/words.h"

#include <algorithm>

namespace drawerdriver {

namespace {

bool isComment(std::string_view line)
{
    line = trimmed(line);
    return line.empty() || line.front() == '#' || line.front() == ';';
}

bool isHeading(std::string_view line)
{
    line = trimmed(line);
    return !line.empty() && line.front() == '[';
}

// The drawer a heading names, a near miss such as [drawer1] included, so
// that an edit mends the heading rather than add a second section.
int headingNumber(std::string_view line)
{
    bool exact = false;
    return headingDrawer(line, exact);
}

// The key of a setting line, or empty for any other line. A line without
// = ("key: value", "key value"), a common slip, counts as the key's line,
// so that setting the key mends it.
std::string_view keyOf(std::string_view line)
{
    if (isComment(line) || isHeading(line))
        return {};
    line = trimmed(withoutComment(line));
    if (const auto equals = line.find('='); equals != std::string_view::npos)
        return trimmed(line.substr(0, equals));
    const auto end = line.find_first_of(": \t");
    return end == std::string_view::npos ? std::string_view() : line.substr(0, end);
}

// The file's lines without their endings; crlf tells whether it ends them
// with CR LF, as files written on Windows do, so that edits keep to that.
std::vector<std::string> splitLines(std::string_view text, bool *crlf = nullptr)
{
    const auto firstEnd = text.find('\n');
    const bool windows
        = firstEnd != std::string_view::npos && firstEnd > 0 && text[firstEnd - 1] == '\r';
    if (crlf)
        *crlf = windows;
    std::vector<std::string> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string line(text.substr(0, end));
        if (windows && !line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

std::string joinLines(
    const std::vector<std::string> &lines, std::size_t from, std::size_t to, bool crlf = false)
{
    std::string text;
    for (std::size_t i = from; i < to; ++i)
        text += lines[i] + (crlf ? "\r\n" : "\n");
    return text;
}

// The line with the key's new value, keeping its indent and any comment
// after the old value.
std::string withValue(const std::string &line, const SettingChange &change)
{
    const std::string indent = line.substr(0, line.find_first_not_of(" \t"));
    const std::string_view setting = withoutComment(line);
    const std::string_view comment = std::string_view(line).substr(setting.size());
    const std::string_view blanks = setting.substr(trimmed(setting).size() + indent.size());
    std::string text = indent + change.key + " = " + change.value;
    if (!comment.empty())
        text.append(blanks.empty() ? std::string_view(" ") : blanks).append(comment);
    return text;
}

// Where one drawer's section is: its heading and the line after its last.
struct Section {
    std::size_t heading = 0;
    std::size_t end = 0;
    bool found = false;
    std::string error;
};

std::string headingOf(int drawer)
{
    return drawer == ServiceSection ? std::string(ServiceHeading) : sectionHeading(drawer);
}

Section findSection(const std::vector<std::string> &lines, int drawer)
{
    Section section;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (drawer == ServiceSection ? trimmed(lines[i]) != ServiceHeading
                                     : headingNumber(lines[i]) != drawer)
            continue;
        if (section.found) {
            section.error = headingOf(drawer)
                + " appears twice in the file: join the two sections by hand first";
            return section;
        }
        section.found = true;
        section.heading = i;
    }
    if (section.found) {
        section.end = section.heading + 1;
        while (section.end < lines.size() && !isHeading(lines[section.end]))
            ++section.end;
    }
    return section;
}

// The line after the section's last setting (after its heading if none).
std::size_t afterLastSetting(const std::vector<std::string> &lines, const Section &section)
{
    std::size_t after = section.heading + 1;
    for (std::size_t i = section.heading + 1; i < section.end; ++i)
        if (!isComment(lines[i]))
            after = i + 1;
    return after;
}

bool isKey(std::string_view key)
{
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

bool isOneLine(std::string_view value)
{
    return std::none_of(value.begin(), value.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// What is wrong with the changes themselves, before the file is looked at.
std::string changesProblem(const std::vector<SettingChange> &changes)
{
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const SettingChange &change = changes[i];
        if (!isKey(change.key))
            return "'" + change.key + "' is no key: keys are such as device or sensor";
        if (!isOneLine(change.value) || trimmed(change.value) != change.value)
            return "the value of " + change.key + " must be one line, without blanks at either end";
        if (withoutComment(change.value) != change.value)
            return "the value of " + change.key
                + " cannot hold a # after a blank: in the file that starts a comment";
        for (std::size_t j = 0; j < i; ++j)
            if (changes[j].key == change.key)
                return "'" + change.key + "' is given twice";
    }
    return {};
}

// The section to edit: the drawer's, its heading mended where it has a slip
// ([drawer1]), or a new one at the end of the file.
Section sectionToEdit(std::vector<std::string> &lines, int drawer)
{
    Section section = findSection(lines, drawer);
    if (!section.error.empty())
        return section;
    if (section.found) {
        bool exact = false;
        headingDrawer(lines[section.heading], exact);
        if (!exact)
            lines[section.heading] = sectionHeading(drawer);
        return section;
    }
    if (!lines.empty() && !trimmed(lines.back()).empty())
        lines.emplace_back();
    section.heading = lines.size();
    lines.push_back(headingOf(drawer));
    section.end = lines.size();
    section.found = true;
    return section;
}

// One change to the section's lines: the key's first line takes the value
// and any later ones go; an empty value takes the key out; a new key goes
// after the last setting.
void applyChange(std::vector<std::string> &lines, Section &section, const SettingChange &change)
{
    constexpr std::size_t none = std::string::npos;
    std::size_t first = none;
    for (std::size_t i = section.end; i-- > section.heading + 1;) {
        if (keyOf(lines[i]) != change.key)
            continue;
        if (first != none) {
            lines.erase(lines.begin() + std::ptrdiff_t(first));
            --section.end;
        }
        first = i;
    }
    if (first != none && change.value.empty()) {
        lines.erase(lines.begin() + std::ptrdiff_t(first));
        --section.end;
    } else if (first != none) {
        lines[first] = withValue(lines[first], change);
    } else if (!change.value.empty()) {
        const std::size_t at = afterLastSetting(lines, section);
        lines.insert(lines.begin() + std::ptrdiff_t(at), change.key + " = " + change.value);
        ++section.end;
    }
}

// What the library would find wrong with the edited section, or empty. The
// [service] section is read as the library reads a file, without the
// "file:line: " its problems start with.
std::string sectionProblem(const std::string &section, int drawer)
{
    if (drawer != ServiceSection)
        return checkSectionText(section);
    const std::vector<std::string> problems
        = parseDrawerConfig(section, std::string(ServiceHeading)).problems;
    return problems.empty() ? std::string()
                            : problems.front().substr(problems.front().find(": ") + 2);
}

} // namespace

std::string checkSectionText(std::string_view section)
{
    DrawerSettings settings;
    std::vector<std::string> given;
    for (const std::string &line : splitLines(section)) {
        if (isComment(line) || isHeading(line))
            continue;
        const std::string_view setting = withoutComment(line);
        const auto equals = setting.find('=');
        if (equals == std::string::npos)
            return "expected key = value, not '" + std::string(trimmed(line)) + "'";
        const std::string wrong = applySetting(settings, trimmed(setting.substr(0, equals)),
            trimmed(setting.substr(equals + 1)), given);
        if (!wrong.empty())
            return wrong;
    }
    return checkSection(settings, given);
}

std::string notAConfiguration(std::string_view text)
{
    bool inSection = false;
    std::size_t number = 0;
    for (const std::string &line : splitLines(text)) {
        ++number;
        if (isComment(line))
            continue;
        if (isHeading(line)) {
            const std::string_view heading = trimmed(withoutComment(line));
            inSection
                = headingNumber(line) != 0 || heading == ServiceHeading || heading == WebHeading;
        }
        if (!inSection)
            return std::to_string(number)
                + " is outside any [drawer N], [service] or [web] section";
    }
    return {};
}

SectionEdit setInSection(
    std::string_view text, int drawer, const std::vector<SettingChange> &changes)
{
    SectionEdit edit;
    if (edit.error = changesProblem(changes); !edit.error.empty())
        return edit;
    bool crlf = false;
    std::vector<std::string> lines = splitLines(text, &crlf);
    Section section = sectionToEdit(lines, drawer);
    if (edit.error = section.error; !edit.error.empty())
        return edit;
    for (const SettingChange &change : changes)
        applyChange(lines, section, change);

    std::size_t last = section.end;
    while (last > section.heading + 1 && trimmed(lines[last - 1]).empty())
        --last;
    edit.section = joinLines(lines, section.heading, last);
    if (const std::string wrong = sectionProblem(edit.section, drawer); !wrong.empty()) {
        edit.error = headingOf(drawer) + ": " + wrong;
        edit.section.clear();
        return edit;
    }
    edit.text = joinLines(lines, 0, lines.size(), crlf);
    edit.changed = edit.text != text;
    return edit;
}

SectionEdit removeSection(std::string_view text, int drawer)
{
    SectionEdit edit;
    bool crlf = false;
    std::vector<std::string> lines = splitLines(text, &crlf);
    const Section section = findSection(lines, drawer);
    if (!section.error.empty()) {
        edit.error = section.error;
        return edit;
    }
    if (!section.found) {
        edit.text = std::string(text);
        return edit;
    }
    std::size_t to = afterLastSetting(lines, section);
    while (to < section.end && trimmed(lines[to]).empty())
        ++to;
    lines.erase(
        lines.begin() + std::ptrdiff_t(section.heading), lines.begin() + std::ptrdiff_t(to));
    // No blank line is left behind at the end.
    while (!lines.empty() && trimmed(lines.back()).empty())
        lines.pop_back();
    edit.text = joinLines(lines, 0, lines.size(), crlf);
    edit.changed = true;
    return edit;
}

} // namespace drawerdriver
