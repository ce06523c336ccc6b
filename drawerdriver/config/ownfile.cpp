#include "ownfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace drawerdriver {

namespace {

// A name no one can have planted: O_EXCL refuses any that exists, so a
// clash is only tried again.
int createTemporary(int folder, const std::string &base, std::string &name)
{
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = "." + base + "." + std::to_string(random()) + ".new";
        const int fd = ::openat(
            folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t wrote = ::write(fd, text.data(), text.size());
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        text.remove_prefix(std::size_t(wrote));
    }
    return true;
}

// The folder opened with one call that refuses a symbolic link anywhere on
// its path, on kernels that have openat2.
int openWithoutLinks(const std::string &folderPath)
{
    open_how how = {};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    return int(::syscall(SYS_openat2, AT_FDCWD, folderPath.c_str(), &how, sizeof how));
}

// The same, one step at a time from "/" (or the working folder), each step
// refusing a link; errno is ELOOP where a step is a link. The steps on the
// way need only be searchable, as for any path.
int openStepByStep(const std::string &folderPath)
{
    int folder = ::open(folderPath.front() == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t at = 0; folder >= 0 && at < folderPath.size();) {
        const std::size_t end = std::min(folderPath.find('/', at), folderPath.size());
        const std::string step = folderPath.substr(at, end - at);
        at = end + 1;
        if (step.empty())
            continue;
        const int next
            = ::openat(folder, step.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        struct stat node = {};
        if (next < 0 && ::fstatat(folder, step.c_str(), &node, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISLNK(node.st_mode))
            error = ELOOP;
        ::close(folder);
        folder = next;
        errno = error;
    }
    if (folder < 0)
        return -1;
    // Read, not only searched: its own descriptor is flushed once the file is in.
    const int opened = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(folder);
    return opened;
}

// The folder, or -1 with the line that says why. Whoever owns a folder on
// the way could have planted a link to send the file elsewhere: no link is
// followed, not even at the folder itself.
int openFolder(const std::string &folderPath, std::string &problem)
{
    int folder = openWithoutLinks(folderPath);
    // Older kernels lack the call; some sandboxes refuse the ones they do
    // not know.
    if (folder < 0 && (errno == ENOSYS || errno == EPERM))
        folder = openStepByStep(folderPath);
    if (folder < 0 && errno == ELOOP)
        problem = "the folder " + folderPath
            + " is reached through a symbolic link; not writing through it";
    else if (folder < 0)
        problem = "cannot open the folder " + folderPath + ": " + std::strerror(errno);
    return folder;
}

} // namespace

std::string replaceOwnFile(
    const std::string &path, std::string_view text, mode_t mode, std::optional<FileOwner> owner)
{
    const auto slash = path.rfind('/');
    const std::string folderPath
        = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty() || base == "." || base == "..")
        return path + " names no file";
    std::string problem;
    const int folder = openFolder(folderPath, problem);
    if (folder < 0)
        return problem;
    struct stat found = {};
    const bool exists = ::fstatat(folder, base.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        problem = "cannot read " + path + ": " + std::strerror(errno);
    else if (exists && S_ISLNK(found.st_mode))
        problem = path + " is a symbolic link; not writing through it";
    else if (exists && !S_ISREG(found.st_mode))
        problem = path + " is not a regular file; not replacing it";
    if (!problem.empty()) {
        ::close(folder);
        return problem;
    }
    std::string temporary;
    const int fd = createTemporary(folder, base, temporary);
    if (fd < 0)
        problem = "cannot write in " + folderPath + ": " + std::strerror(errno);
    else if (!writeAll(fd, text) || ::fchmod(fd, mode) != 0
        || (owner && ::fchown(fd, owner->uid, owner->gid) != 0) || ::fsync(fd) != 0)
        problem = "cannot write " + path + ": " + std::strerror(errno);
    if (fd >= 0 && ::close(fd) != 0 && problem.empty())
        problem = "cannot write " + path + ": " + std::strerror(errno);
    // The rename replaces whatever is at the name, a link included, and
    // never writes through it.
    if (problem.empty() && ::renameat(folder, temporary.c_str(), folder, base.c_str()) != 0)
        problem = "cannot replace " + path + ": " + std::strerror(errno);
    if (!problem.empty() && fd >= 0)
        ::unlinkat(folder, temporary.c_str(), 0);
    if (problem.empty())
        ::fsync(folder);
    ::close(folder);
    return problem;
}

} // namespace drawerdriver
