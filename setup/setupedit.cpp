// set and remove: one drawer's section of the configuration file changed,
// checked before it is written, and the file replaced in one step.
#include "setup.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace drawerdriver::setup {

namespace {

// The file's text: empty for a missing file. A refusal is told and its
// exit status returned.
int readConfig(const std::string &path, std::string &text, bool &exists)
{
    if (const std::string why = unsafeToWrite(path); !why.empty()) {
        tell("not written: " + why);
        return Permission;
    }
    const ConfigText file = readConfigFile(path);
    exists = file.error != ENOENT;
    if (!exists)
        return Done;
    if (!file.problem.empty()) {
        tell("not written: " + file.problem);
        return file.error == EACCES ? Permission : NoAnswer;
    }
    if (const std::string wrong = notAConfiguration(file.text); !wrong.empty()) {
        tell("not written: " + path + " is no drawer configuration (line " + wrong
            + "); the tool rewrites only a file of [drawer N] sections");
        return Permission;
    }
    text = file.text;
    return Done;
}

int refuseWriting(const std::string &path, const Arguments &toolArguments)
{
    tell("you may not change " + path + ". " + asAdministrator(toolArguments));
    return Permission;
}

int replace(const std::string &path, const std::string &text, const Arguments &toolArguments)
{
    if (!mayWrite(path))
        return refuseWriting(path, toolArguments);
    std::string error;
    int code = 0;
    if (replaceFile(path, text, error, code))
        return Done;
    if (code == EACCES || code == EPERM)
        return refuseWriting(path, toolArguments);
    tell("not written: " + error);
    return NoAnswer;
}

// Problems the library would name in the rest of the file.
void noteOtherProblems(const std::string &path, const std::string &text)
{
    const DrawerConfig config = parseDrawerConfig(text, path);
    if (config.problems.empty())
        return;
    say("The library will also say of %s:\n", printable(path).c_str());
    constexpr std::size_t Shown = 20;
    for (std::size_t i = 0; i < std::min(config.problems.size(), Shown); ++i)
        say("  %s\n", printable(config.problems[i]).c_str());
    if (config.problems.size() > Shown)
        say("  ... and %zu more\n", config.problems.size() - Shown);
}

// The file's text once this tool alone may change it.
int readLocked(const EditLock &lock, const std::string &path, std::string &text, bool &exists)
{
    if (!lock.held()) {
        tell("not written: another kestrin-drawer-setup has been changing " + path
            + " for 10 s; try again once it is done");
        return Busy;
    }
    return readConfig(path, text, exists);
}

} // namespace

int writeSection(
    int drawer, const std::vector<SettingChange> &changes, const Arguments &toolArguments)
{
    if (const std::string wrong = notADevice(changes); !wrong.empty()) {
        tell("not written: " + wrong);
        return Usage;
    }
    const std::string path = drawerConfigPath();
    const EditLock lock(path);
    std::string text;
    bool exists = false;
    if (const int refused = readLocked(lock, path, text, exists); refused != Done)
        return refused;
    if (!exists)
        text = "# Cash drawers of the Kestrin drawer library: one [drawer N] section each.\n"
               "# See drawers.conf(5); kestrin-drawer-setup(1) writes and checks it.\n";
    const SectionEdit edit = setInSection(text, drawer, changes);
    if (!edit.error.empty()) {
        tell("not written: " + edit.error);
        return Usage;
    }
    if (exists && !edit.changed) {
        say("%s says so already:\n%s", printable(path).c_str(), printable(edit.section).c_str());
        return Done;
    }
    if (const int refused = replace(path, edit.text, toolArguments); refused != Done)
        return refused;
    say("Wrote %s:\n%s", printable(path).c_str(), printable(edit.section).c_str());
    noteMissingDevices(changes);
    noteOtherProblems(path, edit.text);
    return Done;
}

int set(const Arguments &arguments)
{
    const bool service = !arguments.empty() && arguments[0] == "service";
    const int drawer = service ? ServiceSection
        : arguments.empty()    ? 0
                               : drawerNumber(arguments[0]);
    if ((!service && !drawer) || arguments.size() < 2) {
        tell("set takes a drawer number, 1 to 8, or service, and KEY=VALUE...: such as\n  "
            + toolCommand() + " set 1 device=/dev/usb/lp0 sensor=open-high");
        return Usage;
    }
    std::vector<SettingChange> changes;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        const auto equals = argument.find('=');
        if (equals == std::string::npos || equals == 0) {
            tell("'" + argument + "' is no KEY=VALUE (KEY= takes a key out)");
            return Usage;
        }
        changes.push_back({argument.substr(0, equals), argument.substr(equals + 1)});
    }
    Arguments again {"set"};
    again.insert(again.end(), arguments.begin(), arguments.end());
    return writeSection(drawer, changes, again);
}

int remove(const Arguments &arguments)
{
    const int drawer = arguments.size() == 1 ? drawerNumber(arguments[0]) : 0;
    if (!drawer) {
        tell("remove takes one drawer number, 1 to 8");
        return Usage;
    }
    const std::string path = drawerConfigPath();
    const std::string number = arguments[0];
    const EditLock lock(path);
    std::string text;
    bool exists = false;
    if (const int refused = readLocked(lock, path, text, exists); refused != Done)
        return refused;
    const SectionEdit edit = removeSection(text, drawer);
    if (!edit.error.empty()) {
        tell("not written: " + edit.error);
        return NotConfigured;
    }
    if (!edit.changed) {
        tell("drawer " + number + " is not configured: " + path
            + (exists ? " has no " + sectionHeading(drawer) + " section" : " does not exist")
            + "; nothing to remove");
        return NotConfigured;
    }
    if (const int refused = replace(path, edit.text, {"remove", number}); refused != Done)
        return refused;
    say("Took [drawer %d] out of %s.\n", drawer, printable(path).c_str());
    const DrawerConfig config = parseDrawerConfig(edit.text, path);
    std::string left;
    for (int i = 0; i < DrawerCount; ++i)
        if (config.drawers[std::size_t(i)])
            left += (left.empty() ? "" : ", ") + std::to_string(i + 1);
    say("Drawers configured now: %s\n", left.empty() ? "none" : left.c_str());
    return Done;
}

} // namespace drawerdriver::setup
