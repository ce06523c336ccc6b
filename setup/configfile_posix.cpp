// The configuration file replaced in one step on POSIX: a temporary file
// beside it, flushed to disk, renamed over it.
#include "configfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drawerdriver {

namespace {

// What failed, with errno's reason, as replaceFile reports it.
struct Failure {
    std::string error;
    int code = 0;

    bool operator()(const std::string &what)
    {
        code = errno;
        error = what + ": " + std::strerror(code);
        return false;
    }
};

// The file replaceFile writes: where a link leads, and the old file.
struct Target {
    std::string path;
    std::string folder;
    std::string base;
    bool exists = false;
    struct stat old = {};
};

// The file to replace, a link followed; for a new file, its folder made.
bool findTarget(const std::string &path, Target &target, Failure &fail)
{
    target.path = path;
    if (::lstat(path.c_str(), &target.old) == 0 && S_ISLNK(target.old.st_mode)) {
        char *real = ::realpath(path.c_str(), nullptr);
        if (!real)
            return fail("cannot follow the link " + path);
        target.path = real;
        std::free(real);
    }
    target.exists = ::stat(target.path.c_str(), &target.old) == 0;
    if (!target.exists && errno != ENOENT)
        return fail("cannot read " + target.path);
    if (target.exists && !S_ISREG(target.old.st_mode)) {
        errno = EINVAL;
        return fail(target.path + " is not a regular file");
    }
    const auto slash = target.path.rfind('/');
    target.folder
        = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.path.substr(0, slash));
    target.base = slash == std::string::npos ? target.path : target.path.substr(slash + 1);
    if (!target.exists && ::mkdir(target.folder.c_str(), 0755) != 0 && errno != EEXIST)
        return fail("cannot make the folder " + target.folder);
    return true;
}

// The text in a new temporary file beside the target, with the old file's
// mode and owner (0644 for a new file), flushed to disk.
bool writeTemporary(
    const Target &target, const std::string &text, std::string &temporary, Failure &fail)
{
    temporary = target.folder + "/." + target.base + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return fail("cannot write in " + target.folder);
    const auto abandon = [&](const std::string &what) {
        const int code = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        errno = code;
        return fail(what);
    };
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return abandon("cannot write " + temporary);
        done += std::size_t(wrote);
    }
    const struct stat &old = target.old;
    if (target.exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) [[maybe_unused]]
        const int kept = ::fchown(fd, old.st_uid, old.st_gid);
    if (::fchmod(fd, target.exists ? (old.st_mode & 07777) : 0644) != 0)
        return abandon("cannot set the mode of " + temporary);
    if (::fsync(fd) != 0)
        return abandon("cannot write " + temporary);
    if (::close(fd) != 0) {
        ::unlink(temporary.c_str());
        return fail("cannot write " + temporary);
    }
    return true;
}

// The temporary file renamed over the target, and the rename on disk.
bool moveInPlace(const std::string &temporary, const Target &target, Failure &fail)
{
    if (::rename(temporary.c_str(), target.path.c_str()) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        errno = code;
        return fail("cannot replace " + target.path);
    }
    if (const int dir = ::open(target.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace

bool replaceFile(
    const std::string &path, const std::string &text, std::string &error, int &errorCode)
{
    Failure fail;
    Target target;
    std::string temporary;
    if (findTarget(path, target, fail) && writeTemporary(target, text, temporary, fail)
        && moveInPlace(temporary, target, fail))
        return true;
    error = fail.error;
    errorCode = fail.code;
    return false;
}

} // namespace drawerdriver
