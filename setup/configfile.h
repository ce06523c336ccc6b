// Changes one drawer's section of the configuration file as text: every
// other line (comments, blank lines, the other sections) stays as it was.
// A change is checked as the library would read the section before anything
// is written, and the file is replaced in one step.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace drawerdriver {

// "key = value" to set, or to take out of the section where value is empty.
struct SettingChange {
    std::string key;
    std::string value;
};

struct SectionEdit {
    std::string error; // why the change is refused; then nothing else is set
    std::string text; // the whole file after the change
    std::string section; // the drawer's section as it now reads, empty if gone
    bool changed = false; // whether text differs from what was given
};

// The drawer number that names the [service] section.
inline constexpr int ServiceSection = 0;

// Sets (or takes out) keys in drawer's section, 1 to 8, or in the [service]
// section, adding the section at the end of the file where there is none.
SectionEdit setInSection(
    std::string_view text, int drawer, const std::vector<SettingChange> &changes);
// Takes the drawer's section out: its heading and everything up to its last
// setting. Comments after that last setting stay, since they may belong to
// what follows.
SectionEdit removeSection(std::string_view text, int drawer);
// What the library would find wrong with the settings of a section's text,
// or empty.
std::string checkSectionText(std::string_view section);
// Where the text is no drawer configuration, however wrong some of its
// values: "3 is outside ..." for the first line outside any [drawer N] section (a
// near miss such as [drawer1] counts as one), or empty.
std::string notAConfiguration(std::string_view text);

// Replaces the file by one with the text: a temporary file in the same
// folder, flushed to disk and renamed over it, with the old file's mode and
// owner (0644 for a new file). A symbolic link is followed, so that the
// link stays. False on failure, with error set and errorCode the errno.
bool replaceFile(
    const std::string &path, const std::string &text, std::string &error, int &errorCode);

} // namespace drawerdriver
