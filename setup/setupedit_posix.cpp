// Editing the configuration on POSIX: the folder locked with flock, who
// may replace the file, what root must not write, and device paths that
// are files.
#include "setup.h"

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

} // namespace

// The folder is locked, since the file itself is replaced; a folder not
// made yet is its parent's.
EditLock::EditLock(const std::string &path)
{
    const std::string folder = folderOf(path);
    int fd = -1;
    for (const std::string &candidate : {folder, folderOf(folder)})
        if ((fd = ::open(candidate.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0)
            break;
    m_lock = fd;
    const auto deadline = std::chrono::steady_clock::now() + LockLimit;
    while (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_held = true;
}

EditLock::~EditLock()
{
    if (m_lock >= 0)
        ::close(int(m_lock));
}

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

namespace {

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

} // namespace

std::string unsafeToWrite(const std::string &path)
{
    if (::geteuid() != 0)
        return {};
    const std::string why = unsafeForRoot(path);
    return why.empty() ? why
                       : why
            + ".\nRun as root, the tool writes only a file that no other user can change or "
              "link elsewhere.";
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

void noteMissingDevices(const std::vector<SettingChange> &changes)
{
    for (const SettingChange &change : changes) {
        struct stat node = {};
        if (change.key == key::Device && !change.value.empty() && change.value.front() == '/'
            && ::stat(change.value.c_str(), &node) != 0 && errno == ENOENT)
            say("Note: %s does not exist now; the drawer shows as not connected until it "
                "does.\n",
                printable(change.value).c_str());
    }
}

} // namespace drawerdriver::setup
