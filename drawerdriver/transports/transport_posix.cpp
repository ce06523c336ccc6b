#include "transports/transport_posix.h"

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

FdTransport::FdTransport(int fd, std::string name) : Transport(std::move(name)), m_fd(fd)
{
    std::lock_guard guard(openDevices->mutex);
    openDevices->fds.insert(fd);
}

FdTransport::~FdTransport()
{
    {
        std::lock_guard guard(openDevices->mutex);
        openDevices->fds.erase(m_fd);
    }
    ::close(m_fd);
}

bool FdTransport::isPresent() const
{
    const WaitResult state = waitFor(m_fd, 0, Clock::now());
    return !state.failed && !state.hungUp;
}

WaitResult FdTransport::waitReadable(Clock::time_point deadline, const WakeSignal *wake)
{
    return waitFor(m_fd, POLLIN | POLLRDHUP, deadline, wake ? wake->native() : NoWake);
}

WaitResult FdTransport::waitReadyForJob(
    Clock::time_point deadline, bool writable, const WakeSignal *wake)
{
    const short events = POLLIN | POLLRDHUP | (writable ? POLLOUT : 0);
    return waitFor(m_fd, events, deadline, wake ? wake->native() : NoWake);
}

// TIOCOUTQ is SIOCOUTQ too; a device node without a queue of its own (a
// USB printer, whose write ends when the printer has the bytes) says 0.
std::size_t FdTransport::unsentBytes() const
{
    int queued = 0;
    return ::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0 ? std::size_t(queued) : 0;
}

WaitResult FdTransport::waitWritable(Clock::time_point deadline)
{
    return waitFor(m_fd, POLLOUT, deadline);
}

long FdTransport::writeSome(const std::uint8_t *bytes, std::size_t size, std::string &error)
{
    const ssize_t wrote = sendBytes(bytes, size);
    if (wrote >= 0)
        return long(wrote);
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    error = "cannot write to " + m_name + ": " + std::strerror(errno);
    return -1;
}

ssize_t FdTransport::sendBytes(const std::uint8_t *bytes, std::size_t size)
{
    return ::write(m_fd, bytes, size);
}

long FdTransport::readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error)
{
    const ssize_t got = ::read(m_fd, buffer, size);
    if (got > 0)
        return long(got);
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
