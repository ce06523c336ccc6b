#include "printerport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace drawerdriver {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<std::int64_t>(0, left.count()));
}

std::uint8_t pulseUnits(int milliseconds, int unitMs)
{
    return std::uint8_t(std::clamp((milliseconds + unitMs / 2) / unitMs, 1, 255));
}

speed_t serialSpeed(int speed)
{
    switch (speed) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B9600;
    }
}

} // namespace

std::vector<std::uint8_t> kickCommand(const DrawerSettings &settings)
{
    const std::uint8_t on = pulseUnits(settings.pulseOnMs, settings.timeUnitMs);
    const std::uint8_t off = pulseUnits(settings.pulseOffMs, settings.timeUnitMs);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(10);
    const auto kick = [&](std::uint8_t pin) {
        for (std::uint8_t byte : {std::uint8_t(0x1B), std::uint8_t(0x70), pin, on, off})
            bytes.push_back(byte);
    };
    if (settings.connector != Connector::Pin5)
        kick(0);
    if (settings.connector != Connector::Pin2)
        kick(1);
    return bytes;
}

int drawerState(std::uint8_t statusByte, Sensor sensor)
{
    const bool high = statusByte & 0x04;
    if (sensor == Sensor::None)
        return 1;
    return high == (sensor == Sensor::OpenHigh) ? 2 : 1;
}

std::unique_ptr<PrinterPort> PrinterPort::open(const DrawerSettings &settings, std::string &error)
{
    const int fd = ::open(settings.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        error = "cannot open " + settings.device + ": " + std::strerror(code);
        if (code == EBUSY)
            error += " (another process holds it; a print spooler, most likely)";
        return nullptr;
    }
    // One opener at a time: the kernel's printer driver refuses a second one
    // by itself, a serial port does not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = "cannot open " + settings.device
            + ": another process holds it (a print spooler, most likely)";
        ::close(fd);
        return nullptr;
    }
    const bool serial = ::isatty(fd);
    if (serial) {
        termios tty {};
        if (::tcgetattr(fd, &tty) != 0) {
            error = "cannot set up " + settings.device + ": " + std::strerror(errno);
            ::close(fd);
            return nullptr;
        }
        ::cfmakeraw(&tty);
        tty.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
        tty.c_cflag |= CS8 | CLOCAL | CREAD;
        tty.c_iflag &= ~(IXON | IXOFF | IXANY);
        tty.c_cc[VMIN] = 0;
        tty.c_cc[VTIME] = 0;
        ::cfsetispeed(&tty, serialSpeed(settings.speed));
        ::cfsetospeed(&tty, serialSpeed(settings.speed));
        if (::tcsetattr(fd, TCSANOW, &tty) != 0) {
            error = "cannot set up " + settings.device + ": " + std::strerror(errno);
            ::close(fd);
            return nullptr;
        }
    }
    return std::unique_ptr<PrinterPort>(new PrinterPort(fd, settings.device, serial));
}

PrinterPort::PrinterPort(int fd, std::string device, bool serial)
    : m_fd(fd), m_device(std::move(device)), m_serial(serial)
{
}

PrinterPort::~PrinterPort()
{
    ::close(m_fd);
}

void PrinterPort::discardInput()
{
    if (m_serial)
        ::tcflush(m_fd, TCIFLUSH);
    // Whatever the flush could not catch, read and dropped.
    std::uint8_t stale[64];
    for (int round = 0; round < 16 && ::read(m_fd, stale, sizeof stale) > 0; ++round) { }
}

bool PrinterPort::writeAll(const std::vector<std::uint8_t> &bytes)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(AnswerTimeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += std::size_t(wrote);
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EINTR)
            return false; // ENODEV, EIO: the printer is gone
        pollfd ready {m_fd, POLLOUT, 0};
        if (::poll(&ready, 1, remainingMs(deadline)) <= 0 || (ready.revents & (POLLERR | POLLHUP)))
            return false;
    }
    return true;
}

int PrinterPort::requestStatus()
{
    discardInput();
    if (!writeAll({std::begin(StatusRequest), std::end(StatusRequest)}))
        return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(AnswerTimeoutMs);
    for (;;) {
        std::uint8_t byte = 0;
        const ssize_t got = ::read(m_fd, &byte, 1);
        if (got == 1)
            return isPrinterStatus(byte) ? byte : -1;
        // A raw terminal with nothing to read says 0 rather than EAGAIN; a
        // hang-up shows in poll below, a vanished device as an error here.
        if (got < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        pollfd ready {m_fd, POLLIN, 0};
        const int left = remainingMs(deadline);
        if (left == 0 || ::poll(&ready, 1, left) <= 0 || (ready.revents & (POLLERR | POLLNVAL)))
            return -1;
        if ((ready.revents & POLLHUP) && !(ready.revents & POLLIN))
            return -1;
    }
}

bool PrinterPort::isPresent() const
{
    struct stat node = {};
    struct stat opened = {};
    if (::stat(m_device.c_str(), &node) != 0 || ::fstat(m_fd, &opened) != 0
        || node.st_rdev != opened.st_rdev)
        return false;
    pollfd state {m_fd, 0, 0};
    return ::poll(&state, 1, 0) == 0 || !(state.revents & (POLLERR | POLLHUP | POLLNVAL));
}

} // namespace drawerdriver
