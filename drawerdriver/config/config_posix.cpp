#include "config/config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drawerdriver {

std::string defaultDrawerConfigPath()
{
    return DefaultConfigPath;
}

std::string drawerConfigPath()
{
    if (const char *named = std::getenv("KESTRIN_DRAWERS_CONF"); named && *named)
        return named;
    return defaultDrawerConfigPath();
}

std::string parseLocalDevice(std::string_view device, Endpoint &endpoint)
{
    if (device.empty() || device.front() != '/')
        return "the device must be an absolute path or tcp://HOST[:PORT]";
    endpoint = Endpoint {std::string(device), {}, 9100};
    return {};
}

std::string checkDevice(const DrawerSettings &)
{
    return {};
}

const char *fileKind(unsigned mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "a regular file";
    case S_IFDIR:
        return "a folder";
    case S_IFBLK:
        return "a block device (a disk)";
    case S_IFCHR:
        return "a character device";
    case S_IFIFO:
        return "a pipe";
    case S_IFSOCK:
        return "a socket";
    }
    return "no file";
}

namespace {

// Why the file is not read, from what stat says of it, or empty.
std::string unreadableKind(const std::string &path, const struct stat &info)
{
    if (S_ISDIR(info.st_mode))
        return path + " is a folder, not a configuration file";
    if (!S_ISREG(info.st_mode))
        return path + " is not a regular file (" + fileKind(info.st_mode)
            + "): only a regular file is read";
    if (info.st_size > LargestConfig)
        return path + " is larger than 1 MiB: no drawer configuration is that large";
    return {};
}

} // namespace

ConfigText readConfigFile(const std::string &path)
{
    ConfigText result;
    const auto refuse = [&](std::string problem, int code) {
        result.problem = std::move(problem);
        result.error = code;
        result.text.clear();
        return result;
    };
    // Looked at before it is opened: opening a pipe or a device may block,
    // or do something to the device.
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0)
        return refuse("cannot read " + path + ": " + std::strerror(errno), errno);
    if (std::string wrong = unreadableKind(path, info); !wrong.empty())
        return refuse(std::move(wrong), 0);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse("cannot read " + path + ": " + std::strerror(errno), errno);
    // And again on what was opened, which may have replaced the name since.
    std::string wrong
        = ::fstat(fd, &info) == 0 ? unreadableKind(path, info) : "cannot read " + path;
    char buffer[16384];
    while (wrong.empty()) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            wrong = "cannot read " + path + ": " + std::strerror(errno);
        if (got <= 0)
            break;
        result.text.append(buffer, std::size_t(got));
        // A file that grows while it is read stops here all the same.
        if (result.text.size() > std::size_t(LargestConfig))
            wrong = path + " is larger than 1 MiB: no drawer configuration is that large";
    }
    ::close(fd);
    return wrong.empty() ? result : refuse(std::move(wrong), 0);
}

} // namespace drawerdriver
