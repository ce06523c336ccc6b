#include "transports/serialport_posix.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace drawerdriver {

namespace {

int readModemLines(int fd, int *bits)
{
    return ::ioctl(fd, TIOCMGET, bits);
}

std::atomic<ModemLineReader> modemLineReader {readModemLines};

speed_t serialSpeed(int speed)
{
    switch (speed) {
    case 300:
        return B300;
    case 600:
        return B600;
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

int lineBit(SensorLine line)
{
    switch (line) {
    case SensorLine::Ri:
        return TIOCM_RI;
    case SensorLine::Cts:
        return TIOCM_CTS;
    case SensorLine::Dsr:
        return TIOCM_DSR;
    case SensorLine::Dcd:
        return TIOCM_CD;
    case SensorLine::None:
        break;
    }
    return 0;
}

} // namespace

void PosixSerialPort::discardInput()
{
    ::tcflush(m_fd, TCIFLUSH);
    DeviceNode::discardInput(); // what the flush could not catch
}

std::optional<bool> PosixSerialPort::lineLevel(SensorLine line, std::string &error)
{
    int bits = 0;
    if (modemLineReader.load()(m_fd, &bits) != 0) {
        error = "cannot read the modem lines of " + m_name + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return (bits & lineBit(line)) != 0;
}

void setModemLineReader(ModemLineReader reader)
{
    modemLineReader = reader ? reader : readModemLines;
}

std::unique_ptr<Transport> makeSerialPort(
    int fd, const DrawerSettings &settings, bool hold, std::string &error)
{
    const std::string &path = settings.endpoint.path;
    termios tty {};
    if (::tcgetattr(fd, &tty) != 0) {
        error = "cannot set up " + path + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    ::cfmakeraw(&tty);
    tty.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tty.c_cflag |= CS8 | CLOCAL | CREAD;
    // Closing a port that is opened for each exchange must not drop DTR and
    // RTS: printers with DTR/DSR handshaking and boxes powered from those
    // lines would see a hang-up every time.
    if (!hold)
        tty.c_cflag &= ~HUPCL;
    tty.c_iflag &= ~(IXON | IXOFF | IXANY);
    tty.c_cc[VMIN] = 0;
    tty.c_cc[VTIME] = 0;
    ::cfsetispeed(&tty, serialSpeed(settings.speed));
    ::cfsetospeed(&tty, serialSpeed(settings.speed));
    if (::tcsetattr(fd, TCSANOW, &tty) != 0) {
        error = "cannot set up " + path + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    // Raised for as long as the port is open. A device without the lines (a
    // pseudo-terminal answers ENOTTY) is no error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);
    return std::make_unique<PosixSerialPort>(fd, path);
}

} // namespace drawerdriver
