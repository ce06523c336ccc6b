// The master side of a raw pseudo-terminal, for test fakes of serial and HID
// devices: the drawer library opens the slave's device node, and a serving
// thread hands every read from the master to the fake that owns this.
//
// A fake holds one as its last member, so that the serving thread is joined
// before the members its callbacks use are destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <termios.h>
#include <unistd.h>

// Gives this process pseudo-terminals of its own: a devpts instance in a
// mount namespace of its own, which no other program can open, fill up or
// hand back a number of while a program still uses it. Call before any
// thread starts: a thread keeps the namespace it started in. Not root, the
// system's are used, and false says so.
inline bool usePrivatePseudoTerminals()
{
    return ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0600") == 0
        && ::mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) == 0;
}

class PseudoTerminal {
public:
    enum class Line {
        AsOpened, // canonical, echoing: what a fresh pseudo-terminal is
        Raw,
    };

    // What the serving thread calls, all on that thread.
    struct Serving {
        // The bytes of one read from the master.
        std::function<void(std::span<const std::uint8_t>)> received {};
        // Before each wait for bytes; returns how long to wait, in
        // milliseconds. Without it, 10.
        std::function<int()> beforeWait {};
        // The slave is not open: the master reports a hang-up at once, and
        // keeps reporting it until someone opens the slave again.
        std::function<void()> hungUp {};
    };

    // With a Raw line, controlFlags are added to the raw settings.
    explicit PseudoTerminal(Line line = Line::AsOpened, tcflag_t controlFlags = 0)
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            m_device = ::ptsname(m_master);
        if (line == Line::Raw) {
            termios port {};
            ::tcgetattr(m_master, &port);
            ::cfmakeraw(&port);
            port.c_cflag |= controlFlags;
            ::tcsetattr(m_master, TCSANOW, &port);
        }
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PseudoTerminal() { vanish(); }
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    // Started apart from construction, so that the owner's members exist
    // before the callbacks can reach them.
    void start(Serving serving)
    {
        m_serving = std::move(serving);
        m_thread = std::thread([this] { serve(); });
    }

    const std::string &device() const { return m_device; }
    // For tcgetattr and poll on the master; -1 once vanished.
    int master() const { return m_master; }

    // Unplugged: the slave hangs up and its device node disappears. The
    // serving thread stops first: a descriptor that another thread is still
    // polling would only be released, and the slave hung up, once that poll
    // returns. Called from a callback, there is no poll under way and the
    // thread cannot join itself: it stops after the callback returns.
    void vanish()
    {
        m_stop = true;
        if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
            m_thread.join();
        std::lock_guard guard(m_writing);
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    // Locked, so that what a test sends and what the serving thread answers
    // never interleave.
    void write(std::span<const std::uint8_t> bytes)
    {
        std::lock_guard guard(m_writing);
        [[maybe_unused]] const ssize_t wrote = ::write(m_master, bytes.data(), bytes.size());
    }

private:
    void serve()
    {
        // A real device answers on a processor of its own, on time however
        // busy the host is: the played one runs before ordinary programs,
        // where it may (as root), so that a loaded machine delays the
        // library under test, not its device.
        const sched_param priority {1};
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
        while (!m_stop) {
            const int waitMs = m_serving.beforeWait ? m_serving.beforeWait() : 10;
            pollfd ready {m_master, POLLIN, 0};
            if (::poll(&ready, 1, waitMs) <= 0 || !(ready.revents & POLLIN)) {
                if (ready.revents & POLLHUP) {
                    if (m_serving.hungUp)
                        m_serving.hungUp();
                    // Else this loop would spin on the hang-up.
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                continue;
            }
            std::uint8_t bytes[512];
            const ssize_t got = ::read(m_master, bytes, sizeof bytes);
            if (got > 0 && m_serving.received)
                m_serving.received(std::span(bytes, std::size_t(got)));
        }
    }

    int m_master = -1;
    std::string m_device;
    std::mutex m_writing;
    Serving m_serving;
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};
