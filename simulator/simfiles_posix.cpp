#include "simfiles.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim::files {

namespace {

FileId idOf(const struct stat &info)
{
    return {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino),
        info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec, info.st_size};
}

} // namespace

std::optional<FileId> regularFileId(const std::string &path)
{
    struct stat info = {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return idOf(info);
}

ReadResult readFile(const std::string &path, std::size_t maxBytes, std::string &text, FileId &id,
    std::string &error)
{
    // Non-blocking, so that a FIFO planted in the file's place cannot hang us.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        if (errno == ELOOP)
            return ReadResult::Link;
        error = std::strerror(errno);
        return ReadResult::Unreadable;
    }
    struct stat info = {};
    bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular) {
        char buffer[4096];
        ssize_t got = 0;
        while (text.size() <= maxBytes && (got = ::read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, std::size_t(got));
        regular = got >= 0;
        id = idOf(info);
    }
    ::close(fd);
    return regular ? ReadResult::Ok : ReadResult::Invalid;
}

bool replaceFile(const std::string &path, const std::string &text, std::string &error)
{
    struct stat info = {};
    if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        error = "refusing to replace " + path + ": not a regular file";
        return false;
    }
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str()); // a leftover of a crashed writer; the lock is ours
    const int fd
        = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        done += std::size_t(wrote);
    }
    const bool complete = done == text.size();
    if (::close(fd) != 0 || !complete || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool appendToFile(const std::string &path, const std::string &text)
{
    const int fd
        = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

FileLock::Result FileLock::lock(const std::string &path, int timeoutMs, std::string &error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return Failed;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        Result result = Busy;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = "cannot lock " + path + ": " + std::strerror(errno);
            result = Failed;
        } else if (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        ::close(fd);
        return result;
    }
    m_handle = fd;
    return Locked;
}

FileLock::~FileLock()
{
    if (m_handle != -1)
        ::close(int(m_handle)); // closing drops the lock
}

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

bool isAbsolutePath(const std::string &path)
{
    return !path.empty() && path[0] == '/';
}

std::string defaultStatePath(std::string &error)
{
    if (const std::string runtime = environment("XDG_RUNTIME_DIR"); isAbsolutePath(runtime))
        return runtime + "/kestrin-drawer-sim.state";

    // A folder of our own under /tmp: made private, and refused when it is
    // somebody else's or a link.
    const std::string folder = "/tmp/kestrin-drawer-sim-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + folder + ": " + std::strerror(errno);
        return {};
    }
    struct stat info = {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()
        || (info.st_mode & 077) != 0) {
        error = folder + " is not a private folder of this user";
        return {};
    }
    return folder + "/state";
}

} // namespace sim::files
