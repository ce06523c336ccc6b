#include "transports/transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace drawerdriver {

namespace {

// Every device descriptor the library has open, so that a child after fork
// can close its copies: they would keep the parent's lock on a device, and
// the device itself, open.
struct OpenDevices {
    std::mutex mutex;
    std::set<int> fds;
};
OpenDevices *openDevices = new OpenDevices; // never destroyed: monitors may outlive exit

} // namespace

void closeInheritedDevices()
{
    // The child has one thread: the lock may be held by one that is gone.
    for (int fd : openDevices->fds)
        ::close(fd);
    openDevices = new OpenDevices;
}

Transport::Transport(int fd, std::string name) : m_fd(fd), m_name(std::move(name))
{
    std::lock_guard guard(openDevices->mutex);
    openDevices->fds.insert(fd);
}

Transport::~Transport()
{
    {
        std::lock_guard guard(openDevices->mutex);
        openDevices->fds.erase(m_fd);
    }
    ::close(m_fd);
}

bool Transport::isPresent() const
{
    const WaitResult state = waitFor(m_fd, 0, Clock::now());
    return !state.failed && !(state.events & (POLLERR | POLLHUP | POLLNVAL));
}

bool Transport::writeAll(const std::vector<std::uint8_t> &bytes, Clock::time_point deadline,
    std::string &error, std::size_t *written)
{
    std::size_t ignored = 0;
    std::size_t &done = written ? *written : ignored;
    done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = writeSome(bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += std::size_t(wrote);
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
            error = "cannot write to " + m_name + ": " + std::strerror(errno);
            return false;
        }
        const WaitResult ready = waitFor(m_fd, POLLOUT, deadline);
        if (!ready.ready()) {
            error = m_name + " takes no data (it may be off line, or busy printing)";
            return false;
        }
        if (ready.events & (POLLERR | POLLHUP | POLLNVAL)) {
            error = m_name + " hung up";
            return false;
        }
    }
    return true;
}

ssize_t Transport::writeAvailable(const std::uint8_t *bytes, std::size_t size, std::string &error)
{
    const ssize_t wrote = writeSome(bytes, size);
    if (wrote >= 0)
        return wrote;
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    error = "cannot write to " + m_name + ": " + std::strerror(errno);
    return -1;
}

// TIOCOUTQ is SIOCOUTQ too; a device node without a queue of its own (a
// USB printer, whose write ends when the printer has the bytes) says 0.
std::size_t Transport::unsentBytes() const
{
    int queued = 0;
    return ::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0 ? std::size_t(queued) : 0;
}

ssize_t Transport::writeSome(const std::uint8_t *bytes, std::size_t size)
{
    return ::write(m_fd, bytes, size);
}

ssize_t Transport::readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error)
{
    const ssize_t got = ::read(m_fd, buffer, size);
    if (got > 0)
        return got;
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (got < 0) {
        error = "cannot read from " + m_name + ": " + std::strerror(errno);
        if (errno == EINVAL)
            error += " (a one-way interface: use sensor = none)";
        return -1;
    }
    // End of file: a network peer closed the connection. A raw terminal with
    // nothing to read says 0 too; its hang-up shows in isPresent instead.
    if (!isPresent()) {
        error = m_name + " hung up";
        return -1;
    }
    return 0;
}

void Transport::discardInput()
{
    std::uint8_t stale[512];
    std::string ignored;
    for (int round = 0; round < 8 && readAvailable(stale, sizeof stale, ignored) > 0; ++round) { }
}

std::string deviceHolders(const std::string &path)
{
    namespace fs = std::filesystem;
    std::error_code failed;
    const fs::path target = fs::canonical(path, failed);
    if (failed)
        return {};
    std::string holders;
    for (const auto &process : fs::directory_iterator("/proc", failed)) {
        const std::string pid = process.path().filename();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit))
            continue;
        std::error_code unreadable;
        for (const auto &fd : fs::directory_iterator(process.path() / "fd", unreadable)) {
            std::error_code gone;
            if (fs::read_symlink(fd.path(), gone) != target)
                continue;
            std::string command;
            if (FILE *comm = std::fopen((process.path() / "comm").c_str(), "re")) {
                char name[64] = {};
                if (std::fgets(name, sizeof name, comm))
                    command = std::string(name, strcspn(name, "\n"));
                std::fclose(comm);
            }
            holders += (holders.empty() ? "" : ", ") + pid + " (" + command + ")";
            break;
        }
    }
    return holders;
}

} // namespace drawerdriver
