#include "ownfile.h"

#include <cerrno>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
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

} // namespace

std::string replaceOwnFile(
    const std::string &path, std::string_view text, mode_t mode, std::optional<FileOwner> owner)
{
    const auto slash = path.rfind('/');
    const std::string folderPath
        = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    struct stat found = {};
    const bool exists = ::lstat(path.c_str(), &found) == 0;
    if (!exists && errno != ENOENT)
        return "cannot read " + path + ": " + std::strerror(errno);
    if (exists && S_ISLNK(found.st_mode))
        return path + " is a symbolic link; not writing through it";
    if (exists && !S_ISREG(found.st_mode))
        return path + " is not a regular file; not replacing it";
    const int folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return "cannot open the folder " + folderPath + ": " + std::strerror(errno);
    std::string temporary;
    const int fd = createTemporary(folder, base, temporary);
    std::string problem;
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
