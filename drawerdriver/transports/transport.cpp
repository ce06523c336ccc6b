#include "transports/transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <poll.h>
#include <unistd.h>

namespace drawerdriver {

int remainingMs(Clock::time_point deadline)
{
    // Rounded up: a wait that ends a fraction early would only wake the
    // thread twice.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::clamp<std::int64_t>(left.count(), 0, 60'000));
}

Transport::Transport(int fd, std::string name) : m_fd(fd), m_name(std::move(name)) { }

Transport::~Transport()
{
    ::close(m_fd);
}

bool Transport::isPresent() const
{
    pollfd state {m_fd, 0, 0};
    return ::poll(&state, 1, 0) == 0 || !(state.revents & (POLLERR | POLLHUP | POLLNVAL));
}

bool Transport::writeAll(
    const std::vector<std::uint8_t> &bytes, Clock::time_point deadline, std::string &error)
{
    std::size_t done = 0;
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
        pollfd ready {m_fd, POLLOUT, 0};
        const int left = remainingMs(deadline);
        if (left == 0 || ::poll(&ready, 1, left) <= 0) {
            error = m_name + " takes no data (it may be off line, or busy printing)";
            return false;
        }
        if (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            error = m_name + " hung up";
            return false;
        }
    }
    return true;
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

std::optional<bool> Transport::lineLevel(SensorLine, std::string &error)
{
    error = m_name + " has no modem status lines";
    return std::nullopt;
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
            if (FILE *comm = std::fopen((process.path() / "comm").c_str(), "r")) {
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
