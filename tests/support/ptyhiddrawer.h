// A HID cash drawer played on a pseudo-terminal set raw. The drawer library
// writes to the terminal's device what it writes to a hidraw node: each
// 120-byte report behind the report ID 0, 121 bytes in all. This peer cuts
// what it receives into such reports and keeps every one. It knows only the
// drawer's two reports, [0][id][id][0...] (open, which springs the drawer
// open) and [0][id][id+1][0...] (status); anything else is kept apart and
// never answered. A status request is answered as scripted, normally with
// one 120-byte input report whose first byte is (id << 4) | s, bit 0 of s
// set while the drawer is closed.
#pragma once

#include <algorithm>
#include <atomic>
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

class PtyHidDrawer {
public:
    static constexpr std::size_t ReportSize = 120;
    using Report = std::vector<std::uint8_t>;

    enum class Behaviour {
        Answering, // the drawer's own answer
        WrongId, // an answer from the drawer with the next ID, saying "open"
        ShortRead, // half an answer, whose first byte says "open"
        Flooding, // reports of another drawer, "open", without pause, and its own answers
        Silent, // no answer at all
        VanishOnRequest, // unplugged when the next status request comes
    };

    explicit PtyHidDrawer(int switchId) : id(switchId)
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            device = ::ptsname(m_master);
        termios raw {};
        ::tcgetattr(m_master, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(m_master, TCSANOW, &raw);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_thread = std::thread([this] { serve(); });
    }
    ~PtyHidDrawer() { vanish(); }
    PtyHidDrawer(const PtyHidDrawer &) = delete;
    PtyHidDrawer &operator=(const PtyHidDrawer &) = delete;

    const int id;
    std::string device;
    std::atomic<bool> drawerOpen {false};
    std::atomic<Behaviour> behaviour {Behaviour::Answering};
    // Bits 1 to 3 of s in the drawer's answers, which carry no meaning here.
    std::atomic<int> spareStatusBits {0};

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
    bool vanished() const { return m_vanished; }

    // Every report received, the report ID in front, in order.
    std::vector<Report> reports() const
    {
        std::lock_guard guard(m_mutex);
        return m_reports;
    }
    // What was received that is not one of the drawer's two reports: whole
    // reports of another kind, and bytes left over when the terminal was let
    // go in the middle of a report.
    std::vector<Report> unknownReports() const
    {
        std::lock_guard guard(m_mutex);
        return m_unknown;
    }
    int statusRequests() const { return count(std::uint8_t(id + 1)); }
    int openRequests() const { return count(std::uint8_t(id)); }
    int answersSent() const { return m_answers; }

private:
    int count(std::uint8_t second) const
    {
        std::lock_guard guard(m_mutex);
        return int(std::count_if(m_reports.begin(), m_reports.end(),
            [&](const Report &report) { return isKnown(report) && report[2] == second; }));
    }

    bool isKnown(const Report &report) const
    {
        return report.size() == ReportSize + 1 && report[0] == 0 && report[1] == id
            && (report[2] == id || report[2] == id + 1)
            && std::all_of(report.begin() + 3, report.end(), [](std::uint8_t b) { return b == 0; });
    }

    // An input report whose first byte is given. The rest is filled with a
    // byte no drawer's first byte can be (its high nibble is 15), so that a
    // report the terminal cuts apart under a flood is never a valid answer.
    static Report inputReport(std::uint8_t first, std::size_t size = ReportSize)
    {
        Report report(size, 0xF0);
        report[0] = first;
        return report;
    }

    void send(const Report &report)
    {
        [[maybe_unused]] const ssize_t wrote = ::write(m_master, report.data(), report.size());
    }

    void answer()
    {
        const std::uint8_t closed = drawerOpen ? 0 : 1;
        const std::uint8_t s = std::uint8_t((spareStatusBits & 0x0E) | closed);
        switch (behaviour.load()) {
        case Behaviour::Answering:
        case Behaviour::Flooding:
            send(inputReport(std::uint8_t((id << 4) | s)));
            break;
        case Behaviour::WrongId:
            send(inputReport(std::uint8_t(((id + 1) % 8) << 4)));
            break;
        case Behaviour::ShortRead:
            send(inputReport(std::uint8_t(id << 4), ReportSize / 2));
            break;
        case Behaviour::Silent:
        case Behaviour::VanishOnRequest:
            return;
        }
        ++m_answers;
    }

    void serve()
    {
        Report pending;
        while (!m_stop) {
            const bool flooding = behaviour == Behaviour::Flooding;
            if (flooding)
                for (int i = 0; i < 8; ++i)
                    send(inputReport(std::uint8_t(((id + 3) % 8) << 4)));
            pollfd ready {m_master, POLLIN, 0};
            if (::poll(&ready, 1, flooding ? 1 : 10) <= 0 || !(ready.revents & POLLIN)) {
                // Nobody has the terminal open: it reports a hang-up at once.
                if (ready.revents & POLLHUP) {
                    if (!pending.empty()) {
                        std::lock_guard guard(m_mutex);
                        m_unknown.push_back(pending);
                        pending.clear();
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                continue;
            }
            std::uint8_t bytes[512];
            const ssize_t got = ::read(m_master, bytes, sizeof bytes);
            for (ssize_t i = 0; i < got; ++i) {
                pending.push_back(bytes[i]);
                if (pending.size() < ReportSize + 1)
                    continue;
                const bool known = isKnown(pending);
                const bool statusRequest = known && pending[2] == id + 1;
                if (known && !statusRequest)
                    drawerOpen = true; // the solenoid fires
                {
                    std::lock_guard guard(m_mutex);
                    m_reports.push_back(pending);
                    if (!known)
                        m_unknown.push_back(pending);
                }
                pending.clear();
                if (!statusRequest)
                    continue;
                if (behaviour == Behaviour::VanishOnRequest) {
                    ::close(m_master);
                    m_master = -1;
                    m_vanished = true;
                    return;
                }
                answer();
            }
        }
    }

    int m_master = -1;
    mutable std::mutex m_mutex;
    std::vector<Report> m_reports;
    std::vector<Report> m_unknown;
    std::atomic<int> m_answers {0};
    std::atomic<bool> m_stop {false};
    std::atomic<bool> m_vanished {false};
    std::thread m_thread;
};
