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

#include "pseudoterminal.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

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
        device = m_terminal.device();
        m_terminal.start({
            .received = [this](std::span<const std::uint8_t> bytes) { receive(bytes); },
            .beforeWait = [this] { return flood(); },
            .hungUp = [this] { letGo(); },
        });
    }
    PtyHidDrawer(const PtyHidDrawer &) = delete;
    PtyHidDrawer &operator=(const PtyHidDrawer &) = delete;

    const int id;
    std::string device;
    std::atomic<bool> drawerOpen {false};
    std::atomic<Behaviour> behaviour {Behaviour::Answering};
    // Bits 1 to 3 of s in the drawer's answers, which carry no meaning here.
    std::atomic<int> spareStatusBits {0};
    // How long the drawer takes to answer.
    std::atomic<int> answerDelayMs {0};

    // Unplugged: the terminal hangs up and its device node disappears.
    void vanish() { m_terminal.vanish(); }
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

    void send(const Report &report) { m_terminal.write(report); }

    void answer()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs));
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

    // While flooding, other drawers' reports go out before every short wait.
    int flood()
    {
        if (behaviour != Behaviour::Flooding)
            return 10;
        for (int i = 0; i < 8; ++i)
            send(inputReport(std::uint8_t(((id + 3) % 8) << 4)));
        return 1;
    }

    // The terminal was let go: what it left of a report is not one.
    void letGo()
    {
        if (m_pending.empty())
            return;
        std::lock_guard guard(m_mutex);
        m_unknown.push_back(m_pending);
        m_pending.clear();
    }

    void receive(std::span<const std::uint8_t> bytes)
    {
        for (const std::uint8_t byte : bytes) {
            m_pending.push_back(byte);
            if (m_pending.size() < ReportSize + 1)
                continue;
            const bool known = isKnown(m_pending);
            const bool statusRequest = known && m_pending[2] == id + 1;
            if (known && !statusRequest)
                drawerOpen = true; // the solenoid fires
            {
                std::lock_guard guard(m_mutex);
                m_reports.push_back(m_pending);
                if (!known)
                    m_unknown.push_back(m_pending);
            }
            m_pending.clear();
            if (!statusRequest)
                continue;
            if (behaviour == Behaviour::VanishOnRequest) {
                m_terminal.vanish();
                m_vanished = true;
                return;
            }
            answer();
        }
    }

    mutable std::mutex m_mutex;
    std::vector<Report> m_reports;
    std::vector<Report> m_unknown;
    // A report still coming in; only the serving thread touches it.
    Report m_pending;
    std::atomic<int> m_answers {0};
    std::atomic<bool> m_vanished {false};
    // Last: destroyed first, so its serving thread is joined while the
    // members its callbacks use still exist.
    PseudoTerminal m_terminal {PseudoTerminal::Line::Raw};
};
