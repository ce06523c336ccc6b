// A drawer-trigger box played on a pseudo-terminal set raw: the drawer
// library opens the terminal's device as the box's serial port, and this
// peer records every byte it receives (the kicks). What the library set the
// port to, and whether it holds it open, can be read from this side.
//
// A pseudo-terminal has no modem status lines; FakeModemLines plays them for
// every port of the process, through the library's line seam.
#pragma once

#include "pseudoterminal.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <poll.h>
#include <termios.h>

class PtyTriggerBox {
public:
    PtyTriggerBox()
    {
        device = m_terminal.device();
        m_terminal.start({.received = [this](std::span<const std::uint8_t> bytes) {
            std::lock_guard guard(m_mutex);
            m_received.insert(m_received.end(), bytes.begin(), bytes.end());
        }});
    }
    PtyTriggerBox(const PtyTriggerBox &) = delete;
    PtyTriggerBox &operator=(const PtyTriggerBox &) = delete;

    std::string device;

    // Unplugged: the terminal hangs up and its device node disappears.
    void vanish() { m_terminal.vanish(); }

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
        ::tcgetattr(m_terminal.master(), &port);
        return port;
    }
    // Whether the library has the port open now.
    bool portOpen() const
    {
        pollfd state {m_terminal.master(), 0, 0};
        return ::poll(&state, 1, 0) == 0 || !(state.revents & POLLHUP);
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::uint8_t> m_received;
    // Raw, with HUPCL set, as a fresh serial port usually is. Last: destroyed
    // first, so its serving thread is joined while m_received still exists.
    PseudoTerminal m_terminal {PseudoTerminal::Line::Raw, HUPCL};
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
