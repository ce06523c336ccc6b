// set and remove: one drawer's section of the configuration file changed,
// checked before it is written, and the file replaced in one step.
#include "setup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace drawerdriver::setup {

namespace {

// Larger than any configuration, and small enough to read whole.
constexpr std::streamoff LargestFile = 1 << 20;

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Whether the file may be replaced: a new file made beside it and renamed.
bool mayWrite(const std::string &path)
{
    std::string target = path;
    if (char *real = ::realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    const std::string folder = folderOf(target);
    if (::access(target.c_str(), F_OK) == 0 && ::access(target.c_str(), W_OK) != 0)
        return false;
    if (::access(folder.c_str(), F_OK) == 0)
        return ::access(folder.c_str(), W_OK | X_OK) == 0;
    return ::access(folderOf(folder).c_str(), W_OK | X_OK) == 0;
}

// The file's text: empty for a missing file. A refusal is told and its
// exit status returned.
int readConfig(const std::string &path, std::string &text, bool &exists)
{
    exists = ::access(path.c_str(), F_OK) == 0;
    if (!exists)
        return Done;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const int code = errno;
        tell("cannot read " + path + ": " + std::strerror(code));
        return code == EACCES ? Permission : NoAnswer;
    }
    std::ostringstream whole;
    whole << file.rdbuf();
    if (whole.tellp() > LargestFile) {
        tell(path + " is larger than 1 MiB: that is no drawer configuration");
        return NoAnswer;
    }
    text = whole.str();
    return Done;
}

int refuseWriting(const std::string &path, const Arguments &toolArguments)
{
    tell("you may not change " + path + ". Run this instead:\n  " + withSudo(toolArguments));
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
    std::printf("The library will also say of %s:\n", path.c_str());
    for (const std::string &problem : config.problems)
        std::printf("  %s\n", problem.c_str());
}

} // namespace

int writeSection(
    int drawer, const std::vector<SettingChange> &changes, const Arguments &toolArguments)
{
    const std::string path = drawerConfigPath();
    std::string text;
    bool exists = false;
    if (const int refused = readConfig(path, text, exists); refused != Done)
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
        std::printf("%s says so already:\n%s", path.c_str(), edit.section.c_str());
        return Done;
    }
    if (const int refused = replace(path, edit.text, toolArguments); refused != Done)
        return refused;
    std::printf("Wrote %s:\n%s", path.c_str(), edit.section.c_str());
    for (const SettingChange &change : changes) {
        struct stat node = {};
        if (change.key == "device" && !change.value.empty() && change.value.front() == '/'
            && ::stat(change.value.c_str(), &node) != 0 && errno == ENOENT)
            std::printf("Note: %s does not exist now; the drawer shows as not connected until "
                        "it does.\n",
                change.value.c_str());
    }
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
    std::string text;
    bool exists = false;
    if (const int refused = readConfig(path, text, exists); refused != Done)
        return refused;
    const SectionEdit edit = removeSection(text, drawer);
    if (!edit.error.empty()) {
        tell("not written: " + edit.error);
        return NotConfigured;
    }
    if (!edit.changed) {
        tell("drawer " + number + " is not configured: " + path
            + (exists ? " has no [drawer " + number + "] section" : " does not exist")
            + "; nothing to remove");
        return NotConfigured;
    }
    if (const int refused = replace(path, edit.text, {"remove", number}); refused != Done)
        return refused;
    std::printf("Took [drawer %d] out of %s.\n", drawer, path.c_str());
    const DrawerConfig config = parseDrawerConfig(edit.text, path);
    std::string left;
    for (int i = 0; i < DrawerCount; ++i)
        if (config.drawers[std::size_t(i)])
            left += (left.empty() ? "" : ", ") + std::to_string(i + 1);
    std::printf("Drawers configured now: %s\n", left.empty() ? "none" : left.c_str());
    return Done;
}

} // namespace drawerdriver::setup
