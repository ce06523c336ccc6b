// Preloaded into the drawer service by tests, as a disk that is slow to
// make writes durable: each fsync and fdatasync of the process first
// sleeps for the milliseconds written in the file KESTRIN_SLOW_SYNC names
// (no file, or 0, for no delay). The file is read at each call, so that a
// test changes the delay while the service runs.

#include <cstdlib>

#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

void delay()
{
    const char *file = std::getenv("KESTRIN_SLOW_SYNC");
    const int fd = file ? ::open(file, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0)
        return;
    char text[16] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    const long ms = got > 0 ? std::strtol(text, nullptr, 10) : 0;
    timespec pause {ms / 1000, (ms % 1000) * 1'000'000};
    while (ms > 0 && ::nanosleep(&pause, &pause) != 0) { }
}

using Sync = int (*)(int);

Sync next(const char *name)
{
    return reinterpret_cast<Sync>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fsync(int fd)
{
    static const Sync real = next("fsync");
    delay();
    return real(fd);
}

extern "C" int fdatasync(int fd)
{
    static const Sync real = next("fdatasync");
    delay();
    return real(fd);
}
