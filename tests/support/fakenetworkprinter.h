// A network receipt printer played on 127.0.0.1: it accepts connections on
// a port of its own, answers each real-time status request (DLE EOT 1) from
// a scripted drawer sensor, and records every kick (ESC p). It can go
// silent, refuse connections, vanish, flood its clients with bytes, and
// serve one client at a time, as print servers with one slot do, and take
// what it is sent slowly, as a printer printing.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class FakeNetworkPrinter {
public:
    // HangingUp: a connection is closed the moment a question arrives.
    enum class Mode { Answering, Silent, Flooding, HangingUp };

    FakeNetworkPrinter() { listen(0); }
    ~FakeNetworkPrinter() { vanish(); }

    int port() const { return m_port; }
    std::string address() const { return "tcp://127.0.0.1:" + std::to_string(m_port); }

    // The drawer sensor (pin 3) the printer reports, and how it behaves.
    std::atomic<bool> sensorHigh {false};
    std::atomic<Mode> mode {Mode::Answering};
    // Only the oldest connection is served; the others wait until it closes.
    std::atomic<bool> oneClientAtATime {false};
    // How fast it takes what it is sent: 0 as fast as it can, -1 not at all.
    // A slow printer's connections, made after it is set, have a receive
    // buffer of a few kilobytes, as a printer's own.
    std::atomic<int> bytesPerSecond {0};

    // Bytes the printer sends of its own accord to every client, such as an
    // automatic status.
    void push(std::vector<std::uint8_t> bytes)
    {
        std::lock_guard guard(m_mutex);
        m_pushes.push_back(std::move(bytes));
    }

    // Gone: every connection dropped and the port closed, so connections
    // are refused. comeBack listens on the same port again.
    void vanish()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (int client : m_clients)
            ::close(client);
        m_clients.clear();
        if (m_listener >= 0)
            ::close(m_listener);
        m_listener = -1;
    }
    void comeBack() { listen(m_port); }

    std::vector<std::uint8_t> received() const
    {
        std::lock_guard guard(m_mutex);
        return m_received;
    }
    // How many ESC p kicks arrived, whole.
    int kicks() const
    {
        const auto bytes = received();
        int count = 0;
        for (std::size_t i = 0; i + 4 < bytes.size(); ++i)
            count += bytes[i] == 0x1B && bytes[i + 1] == 0x70;
        return count;
    }
    int statusRequests() const { return m_requests; }
    int connections() const { return m_connections; }
    // Connections open right now.
    int openConnections() const { return m_open; }

private:
    void listen(int port)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int one = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // A printer's buffer is small: what it has not taken waits with the
        // sender.
        const int buffer = 4096;
        ::setsockopt(m_listener, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(std::uint16_t(port));
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(m_listener, 16);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_stop = false;
        m_thread = std::thread([this] { serve(); });
    }

    void serve()
    {
        // Garbage, with the chance patterns of a status among it.
        std::vector<std::uint8_t> flood(64 * 1024);
        std::uint32_t noise = 12345;
        for (std::uint8_t &byte : flood)
            byte = std::uint8_t((noise = noise * 1103515245 + 12345) >> 16);
        auto lastTurn = std::chrono::steady_clock::now();
        double allowance = 0; // what a slow printer may take now
        while (!m_stop) {
            const auto now = std::chrono::steady_clock::now();
            const int rate = bytesPerSecond;
            allowance = std::clamp(
                allowance + rate * std::chrono::duration<double>(now - lastTurn).count(), 0.0,
                512.0);
            lastTurn = now;
            const std::size_t takes = rate == 0 ? 512 : std::size_t(allowance);
            std::vector<std::vector<std::uint8_t>> pushes;
            {
                std::lock_guard guard(m_mutex);
                pushes.swap(m_pushes);
            }
            for (const auto &bytes : pushes)
                for (int client : m_clients)
                    [[maybe_unused]] const ssize_t sent
                        = ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            std::vector<pollfd> ready {{m_listener, POLLIN, 0}};
            for (int client : m_clients) {
                if (oneClientAtATime && client != m_clients.front())
                    break;
                ready.push_back({client,
                    short((takes > 0 ? POLLIN : 0) | (mode == Mode::Flooding ? POLLOUT : 0)), 0});
            }
            if (::poll(ready.data(), ready.size(), 5) <= 0)
                continue;
            if (ready[0].revents & POLLIN) {
                const int client
                    = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (client >= 0) {
                    const int buffer = 4096;
                    if (bytesPerSecond != 0)
                        ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
                    m_clients.push_back(client);
                    ++m_connections;
                }
            }
            std::vector<int> closed;
            for (std::size_t i = 1; i < ready.size(); ++i) {
                const int client = ready[i].fd;
                if (ready[i].revents & POLLOUT) [[maybe_unused]]
                    const ssize_t sent = ::send(client, flood.data(), flood.size(), MSG_NOSIGNAL);
                if (!(ready[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                std::uint8_t bytes[512];
                const ssize_t got = ::recv(client, bytes, std::min(sizeof bytes, takes), 0);
                allowance -= double(std::max<ssize_t>(got, 0));
                if (got <= 0) {
                    closed.push_back(client);
                    continue;
                }
                if (mode == Mode::HangingUp) {
                    closed.push_back(client);
                    continue;
                }
                int replies = 0;
                {
                    std::lock_guard guard(m_mutex);
                    for (ssize_t b = 0; b < got; ++b) {
                        m_received.push_back(bytes[b]);
                        const std::size_t n = m_received.size();
                        if (n >= 3 && m_received[n - 3] == 0x10 && m_received[n - 2] == 0x04
                            && m_received[n - 1] == 0x01) {
                            ++m_requests;
                            ++replies;
                        }
                    }
                }
                for (; replies > 0 && mode == Mode::Answering; --replies) {
                    const std::uint8_t status = sensorHigh ? 0x16 : 0x12;
                    [[maybe_unused]] const ssize_t sent = ::send(client, &status, 1, MSG_NOSIGNAL);
                }
            }
            for (int client : closed) {
                ::close(client);
                m_clients.erase(std::find(m_clients.begin(), m_clients.end(), client));
            }
            m_open = int(m_clients.size());
        }
    }

    int m_listener = -1;
    int m_port = 0;
    std::vector<int> m_clients;
    mutable std::mutex m_mutex;
    std::vector<std::uint8_t> m_received;
    std::vector<std::vector<std::uint8_t>> m_pushes;
    std::atomic<int> m_requests {0};
    std::atomic<int> m_connections {0};
    std::atomic<int> m_open {0};
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};
