#include "transports/serialport_posix.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drawerdriver {

DeviceNode::DeviceNode(int fd, std::string path) : FdTransport(fd, std::move(path)) { }

bool DeviceNode::isPresent() const
{
    struct stat node = {};
    struct stat opened = {};
    return ::stat(m_name.c_str(), &node) == 0 && ::fstat(m_fd, &opened) == 0
        && node.st_rdev == opened.st_rdev && FdTransport::isPresent();
}

OpenResult openDeviceNode(const DrawerSettings &settings, bool hold)
{
    OpenResult result;
    const std::string &path = settings.endpoint.path;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        result.error = "cannot open " + path + ": " + std::strerror(code);
        result.failure = code == EBUSY                            ? OpenFailure::Busy
            : (code == ENOENT || code == ENODEV || code == ENXIO) ? OpenFailure::Gone
                                                                  : OpenFailure::Other;
        if (code == EACCES)
            result.error += " (the user needs the device's group, or a udev rule granting access)";
        return result;
    }
    // Only a character device is a drawer's device: a regular file or a disk
    // would take every question and kick as data. Checked on what was
    // opened, after the links, before a byte is written.
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode)) {
        result.error = path + " is " + fileKind(opened.st_mode)
            + ": a drawer's device is a character device, such as /dev/usb/lp0 or /dev/ttyUSB0";
        result.failure = OpenFailure::Other;
        ::close(fd);
        return result;
    }
    // One opener at a time: the kernel's printer driver refuses a second one
    // by itself, a serial port does not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        result.error = "cannot open " + path + ": another process holds it";
        result.failure = OpenFailure::Busy;
        ::close(fd);
        return result;
    }
    if (::isatty(fd)) {
        result.transport = makeSerialPort(fd, settings, hold, result.error);
        if (!result.transport)
            result.failure = OpenFailure::Other;
        return result;
    }
    result.transport = std::make_unique<DeviceNode>(fd, path);
    return result;
}

} // namespace drawerdriver
