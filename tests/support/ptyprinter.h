// A receipt printer played on a pseudo-terminal: the drawer library opens the
// terminal's device like a USB-serial printer, and this peer records every
// byte it receives and answers each real-time status request (DLE EOT 1)
// with a scripted byte, and each Star status request (ESC ACK SOH) with a
// scripted Star status.
#pragma once

#include "pseudoterminal.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

class PtyPrinter {
public:
    static constexpr int Silent = -1;

    PtyPrinter()
    {
        device = m_terminal.device();
        m_terminal.start(
            {.received = [this](std::span<const std::uint8_t> bytes) { receive(bytes); }});
    }

    // The answer to the next status requests: a byte, or Silent; and how
    // long the printer takes to give it.
    std::atomic<int> answer {0x12};
    // The answer to DLE EOT 4 (the paper sensors), which a job may ask.
    std::atomic<int> paperAnswer {Silent};
    std::atomic<int> answerDelayMs {0};
    std::string device;

    void setStarStatus(std::vector<std::uint8_t> status)
    {
        std::lock_guard guard(m_mutex);
        m_starStatus = std::move(status);
    }

    // Unplugged: the terminal hangs up and its device node disappears.
    void vanish() { m_terminal.vanish(); }

    // Bytes the printer sends of its own accord.
    void send(std::uint8_t byte) { m_terminal.write({&byte, 1}); }

    std::vector<std::uint8_t> received() const
    {
        std::lock_guard guard(m_mutex);
        return m_received;
    }

    int statusRequests() const { return m_requests; }
    int answersSent() const { return m_answers; }

private:
    void receive(std::span<const std::uint8_t> bytes)
    {
        int replies = 0;
        std::vector<std::uint8_t> starReplies;
        int paperReplies = 0;
        {
            std::lock_guard guard(m_mutex);
            for (const std::uint8_t byte : bytes) {
                m_received.push_back(byte);
                const std::size_t n = m_received.size();
                if (n >= 3 && m_received[n - 3] == 0x10 && m_received[n - 2] == 0x04
                    && m_received[n - 1] == 0x01) {
                    ++m_requests;
                    ++replies;
                }
                paperReplies += n >= 3 && m_received[n - 3] == 0x10 && m_received[n - 2] == 0x04
                    && m_received[n - 1] == 0x04 && paperAnswer != Silent;
                if (n >= 3 && m_received[n - 3] == 0x1B && m_received[n - 2] == 0x06
                    && m_received[n - 1] == 0x01) {
                    ++m_requests;
                    starReplies.insert(starReplies.end(), m_starStatus.begin(), m_starStatus.end());
                }
            }
            // Still under the lock: once received() shows a Star request,
            // its answer is on its way, unless the printer is slow.
            if (!starReplies.empty() && answerDelayMs == 0)
                m_terminal.write(starReplies);
        }
        if (!starReplies.empty() && answerDelayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs));
            m_terminal.write(starReplies);
        }
        for (; paperReplies > 0; --paperReplies) {
            std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs));
            send(std::uint8_t(paperAnswer.load()));
        }
        for (; replies > 0; --replies) {
            const int reply = answer;
            if (reply == Silent)
                continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs));
            send(std::uint8_t(reply));
            ++m_answers;
        }
    }

    mutable std::mutex m_mutex;
    std::vector<std::uint8_t> m_received;
    std::vector<std::uint8_t> m_starStatus;
    std::atomic<int> m_requests {0};
    std::atomic<int> m_answers {0};
    // Last: destroyed first, so its serving thread is joined while the
    // members receive() uses still exist.
    PseudoTerminal m_terminal;
};
