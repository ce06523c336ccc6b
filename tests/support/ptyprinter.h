// A receipt printer played on a pseudo-terminal: the drawer library opens the
// terminal's device like a USB-serial printer, and this peer records every
// byte it receives and answers each real-time status request (DLE EOT 1)
// with a scripted byte, and each Star status request (ESC ACK SOH) with a
// scripted Star status.
#pragma once

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
#include <unistd.h>

class PtyPrinter {
public:
    static constexpr int Silent = -1;

    PtyPrinter()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            device = ::ptsname(m_master);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_thread = std::thread([this] { serve(); });
    }

    ~PtyPrinter() { vanish(); }

    // The answer to the next status requests: a byte, or Silent; and how
    // long the printer takes to give it.
    std::atomic<int> answer {0x12};
    std::atomic<int> answerDelayMs {0};
    std::string device;

    void setStarStatus(std::vector<std::uint8_t> status)
    {
        std::lock_guard guard(m_mutex);
        m_starStatus = std::move(status);
    }

    // Unplugged: the terminal hangs up and its device node disappears. The
    // serving thread stops first: a descriptor that another thread is still
    // polling would only be released, and the terminal hung up, once that
    // poll returns.
    void vanish()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    // Bytes the printer sends of its own accord.
    void send(std::uint8_t byte)
    {
        std::lock_guard guard(m_mutex);
        [[maybe_unused]] const ssize_t wrote = ::write(m_master, &byte, 1);
    }

    std::vector<std::uint8_t> received() const
    {
        std::lock_guard guard(m_mutex);
        return m_received;
    }

    int statusRequests() const { return m_requests; }
    int answersSent() const { return m_answers; }

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
            int replies = 0;
            std::vector<std::uint8_t> starReplies;
            {
                std::lock_guard guard(m_mutex);
                const ssize_t got = ::read(m_master, bytes, sizeof bytes);
                for (ssize_t i = 0; i < got; ++i) {
                    m_received.push_back(bytes[i]);
                    const std::size_t n = m_received.size();
                    if (n >= 3 && m_received[n - 3] == 0x10 && m_received[n - 2] == 0x04
                        && m_received[n - 1] == 0x01) {
                        ++m_requests;
                        ++replies;
                    }
                    if (n >= 3 && m_received[n - 3] == 0x1B && m_received[n - 2] == 0x06
                        && m_received[n - 1] == 0x01) {
                        ++m_requests;
                        starReplies.insert(
                            starReplies.end(), m_starStatus.begin(), m_starStatus.end());
                    }
                }
                if (!starReplies.empty()) [[maybe_unused]]
                    const ssize_t wrote = ::write(m_master, starReplies.data(), starReplies.size());
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
    }

    int m_master = -1;
    mutable std::mutex m_mutex;
    std::vector<std::uint8_t> m_received;
    std::vector<std::uint8_t> m_starStatus;
    std::atomic<int> m_requests {0};
    std::atomic<int> m_answers {0};
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};
