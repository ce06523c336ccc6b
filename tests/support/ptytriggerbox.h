// A drawer-trigger box played on a pseudo-terminal set raw: the drawer
// library opens the terminal's device as the box's serial port, and this
// peer records every byte it receives (the kicks). What the library set the
// port to, and whether it holds it open, can be read from this side.
//
// A pseudo-terminal has no modem status lines; FakeModemLines plays them for
// every port of the process, through the library's line seam.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

class PtyTriggerBox {
public:
    PtyTriggerBox()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            device = ::ptsname(m_master);
        // Raw, with HUPCL set, as a fresh serial port usually is.
        termios port {};
        ::tcgetattr(m_master, &port);
        ::cfmakeraw(&port);
        port.c_cflag |= HUPCL;
        ::tcsetattr(m_master, TCSANOW, &port);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_thread = std::thread([this] { serve(); });
    }
    ~PtyTriggerBox() { vanish(); }
    PtyTriggerBox(const PtyTriggerBox &) = delete;
    PtyTriggerBox &operator=(const PtyTriggerBox &) = delete;

    std::string device;

    // Unplugged: the terminal hangs up and its device node disappears.
    void vanish()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    std::vector<std::uint8_t> received() const
    {
        std::lock_guard guard(m_mutex);
        return m_received;
    }

    // The port's settings as its user left them: on a pseudo-terminal, the
    // other side's settings are read through this one.
    termios settings() const
    {
        termios port {};
        ::tcgetattr(m_master, &port);
        return port;
    }
    // Whether the library has the port open now.
    bool portOpen() const
    {
        pollfd state {m_master, 0, 0};
        return ::poll(&state, 1, 0) == 0 || !(state.revents & POLLHUP);
    }

private:
    void serve()
    {
        while (!m_stop) {
            pollfd ready {m_master, POLLIN, 0};
            if (::poll(&ready, 1, 10) <= 0 || !(ready.revents & POLLIN)) {
                // Nobody has the terminal open: it reports a hang-up at once.
                if (ready.revents & POLLHUP)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            std::uint8_t bytes[256];
            const ssize_t got = ::read(m_master, bytes, sizeof bytes);
            std::lock_guard guard(m_mutex);
            for (ssize_t i = 0; i < got; ++i)
                m_received.push_back(bytes[i]);
        }
    }

    int m_master = -1;
    mutable std::mutex m_mutex;
    std::vector<std::uint8_t> m_received;
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};

// The modem status lines, as the library's seam (drawerdriver::
// setModemLineReader) reads them: the TIOCM_* bits set here, or a port that
// has no such lines.
struct FakeModemLines {
    static inline std::atomic<int> bits {0};
    static inline std::atomic<bool> missing {false};

    static int read(int, int *out)
    {
        if (missing) {
            errno = ENOTTY;
            return -1;
        }
        *out = bits;
        return 0;
    }
};
