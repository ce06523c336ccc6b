// set and remove: one drawer's section of the configuration file changed,
// checked before it is written, and the file replaced in one step.
#include "setup.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drawerdriver::setup {

namespace {

// How long an edit waits for another one to finish with the file.
constexpr auto LockLimit = std::chrono::seconds(10);

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Holds the configuration's folder locked while a command reads, changes
// and replaces the file, so that two edits at once both land. The folder,
// since the file itself is replaced; a folder not made yet is its parent's.
class EditLock {
public:
    explicit EditLock(const std::string &path)
    {
        const std::string folder = folderOf(path);
        for (const std::string &candidate : {folder, folderOf(folder)})
            if ((m_fd = ::open(candidate.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0)
                break;
        const auto deadline = std::chrono::steady_clock::now() + LockLimit;
        while (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_held = true;
    }
    ~EditLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    // False only while another edit holds the folder past the limit; a
    // folder that cannot be opened is no one's to lock.
    bool held() const { return m_held || m_fd < 0; }

private:
    int m_fd = -1;
    bool m_held = false;
};

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

bool othersMayChange(const struct stat &info)
{
    return (info.st_mode & S_IWOTH) || ((info.st_mode & S_IWGRP) && info.st_gid != 0);
}

// Why root must not write the file, or empty. Root writes only where no
// other user has a say: a file that is no link, root's and closed to
// others, in folders up to / that are root's and closed to others or
// sticky (as /tmp), so that no user can slip a link in.
std::string unsafeForRoot(const std::string &path)
{
    struct stat info = {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return path + " is a symbolic link";
        if (!S_ISREG(info.st_mode))
            return path + " is not a regular file";
        if (info.st_uid != 0)
            return path + " belongs to a user other than root";
        if (othersMayChange(info))
            return "users other than root may change " + path;
    } else if (errno != ENOENT) {
        return "cannot look at " + path + ": " + std::strerror(errno);
    }
    std::error_code failed;
    std::string folder = folderOf(std::filesystem::absolute(path, failed).lexically_normal());
    for (;; folder = folderOf(folder)) {
        if (::lstat(folder.c_str(), &info) != 0) {
            if (errno != ENOENT)
                return "cannot look at " + folder + ": " + std::strerror(errno);
        } else if (!S_ISDIR(info.st_mode)) {
            return folder + " is not a folder (a link?)";
        } else if (info.st_uid != 0) {
            return "the folder " + folder + " belongs to a user other than root";
        } else if (othersMayChange(info) && !(info.st_mode & S_ISVTX)) {
            return "users other than root may change the folder " + folder;
        }
        if (folder == "/" || folder == ".")
            return {};
    }
}

// The file's text: empty for a missing file. A refusal is told and its
// exit status returned.
int readConfig(const std::string &path, std::string &text, bool &exists)
{
    if (::geteuid() == 0) {
        if (const std::string why = unsafeForRoot(path); !why.empty()) {
            tell("not written: " + why
                + ".\nRun as root, the tool writes only a file that no other user can change "
                  "or link elsewhere.");
            return Permission;
        }
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

// A device path that names something other than a device: a file or a
// disk would be written to as if it were the drawer.
std::string notADevice(const std::vector<SettingChange> &changes)
{
    for (const SettingChange &change : changes) {
        struct stat node = {};
        if (change.key != key::Device || change.value.empty() || change.value.front() != '/'
            || ::stat(change.value.c_str(), &node) != 0 || S_ISCHR(node.st_mode))
            continue;
        return change.value + " is " + fileKind(node.st_mode)
            + ": a drawer's device is a character device, such as /dev/usb/lp0 or /dev/ttyUSB0";
    }
    return {};
}

// Problems the library would name in the rest of the file.
void noteOtherProblems(const std::string &path, const std::string &text)
{
    const DrawerConfig config = parseDrawerConfig(text, path);
    if (config.problems.empty())
        return;
    std::printf("The library will also say of %s:\n", printable(path).c_str());
    constexpr std::size_t Shown = 20;
    for (std::size_t i = 0; i < std::min(config.problems.size(), Shown); ++i)
        std::printf("  %s\n", printable(config.problems[i]).c_str());
    if (config.problems.size() > Shown)
        std::printf("  ... and %zu more\n", config.problems.size() - Shown);
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
        std::printf(
            "%s says so already:\n%s", printable(path).c_str(), printable(edit.section).c_str());
        return Done;
    }
    if (const int refused = replace(path, edit.text, toolArguments); refused != Done)
        return refused;
    std::printf("Wrote %s:\n%s", printable(path).c_str(), printable(edit.section).c_str());
    for (const SettingChange &change : changes) {
        struct stat node = {};
        if (change.key == key::Device && !change.value.empty() && change.value.front() == '/'
            && ::stat(change.value.c_str(), &node) != 0 && errno == ENOENT)
            std::printf("Note: %s does not exist now; the drawer shows as not connected until "
                        "it does.\n",
                printable(change.value).c_str());
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
    std::printf("Took [drawer %d] out of %s.\n", drawer, printable(path).c_str());
    const DrawerConfig config = parseDrawerConfig(edit.text, path);
    std::string left;
    for (int i = 0; i < DrawerCount; ++i)
        if (config.drawers[std::size_t(i)])
            left += (left.empty() ? "" : ", ") + std::to_string(i + 1);
    std::printf("Drawers configured now: %s\n", left.empty() ? "none" : left.c_str());
    return Done;
}

} // namespace drawerdriver::setup
