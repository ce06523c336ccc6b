#include "config/text_win32.h"
#include "transports/transport_win32.h"

#include <algorithm>
#include <cstring>

namespace drawerdriver {

namespace {

std::string displayName(const Endpoint &endpoint)
{
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    return "tcp://" + (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":"
        + std::to_string(endpoint.port);
}

// Whether select finds the socket readable (data, a close, or an error)
// or writable now, or within the time.
bool socketReady(SOCKET socket, bool write, int timeoutMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    fd_set failed = set;
    timeval limit {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &limit) > 0;
}

class NetworkConnection : public Transport {
public:
    NetworkConnection(SOCKET socket, WSAEVENT event, std::string name)
        : Transport(std::move(name)), m_socket(socket), m_event(event)
    {
    }
    ~NetworkConnection() override
    {
        ::closesocket(m_socket);
        WSACloseEvent(m_event);
    }

    // Gone when the peer has closed (a read would end) or the socket failed.
    bool isPresent() const override
    {
        if (!socketReady(m_socket, false, 0))
            return true;
        char byte = 0;
        const int got = ::recv(m_socket, &byte, 1, MSG_PEEK);
        return got > 0 || (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK);
    }

    long readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error) override
    {
        const int got = ::recv(m_socket, reinterpret_cast<char *>(buffer), int(size), 0);
        if (got > 0)
            return got;
        if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
            return 0;
        error = got == 0 ? m_name + " hung up"
                         : "cannot read from " + m_name + ": " + systemMessage(WSAGetLastError());
        return -1;
    }

    // The socket's event says when data or a close arrives; select looks
    // first, and again at least every 50 ms, so that a notice Winsock
    // gives only once is never missed.
    WaitResult waitReadable(Clock::time_point deadline, const WakeSignal *wake) override
    {
        WaitResult result;
        const HANDLE handles[2] = {m_event, wake ? wake->native() : nullptr};
        const DWORD count = wake && wake->valid() ? 2 : 1;
        for (;;) {
            if (socketReady(m_socket, false, 0)) {
                result.events = 1;
                return result;
            }
            const int left = remainingMs(deadline);
            if (left == 0)
                return result;
            const DWORD waited
                = WaitForMultipleObjects(count, handles, FALSE, DWORD(std::min(left, 50)));
            WSANETWORKEVENTS seen {};
            WSAEnumNetworkEvents(m_socket, m_event, &seen); // resets the event
            if (waited == WAIT_OBJECT_0 + 1) {
                result.woken = true;
                return result;
            }
            if (waited == WAIT_FAILED) {
                result.failed = true;
                return result;
            }
        }
    }

protected:
    long writeSome(const std::uint8_t *bytes, std::size_t size, std::string &error) override
    {
        const int wrote = ::send(m_socket, reinterpret_cast<const char *>(bytes), int(size), 0);
        if (wrote >= 0)
            return wrote;
        if (WSAGetLastError() == WSAEWOULDBLOCK)
            return 0;
        error = "cannot write to " + m_name + ": " + systemMessage(WSAGetLastError());
        return -1;
    }

    WaitResult waitWritable(Clock::time_point deadline) override
    {
        WaitResult result;
        if (socketReady(m_socket, true, remainingMs(deadline)))
            result.events = 1;
        return result;
    }

private:
    SOCKET m_socket;
    WSAEVENT m_event;
};

} // namespace

bool startWinsock(std::string &error)
{
    static int started = [] {
        WSADATA data {};
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0)
        error = "cannot start Winsock: " + systemMessage(DWORD(started));
    return started == 0;
}

std::vector<NetworkAddress> resolveNetworkAddresses(const Endpoint &endpoint, std::string &error)
{
    if (!startWinsock(error))
        return {};
    addrinfoW hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfoW *found = nullptr;
    const int code = GetAddrInfoW(
        widen(endpoint.host).c_str(), std::to_wstring(endpoint.port).c_str(), &hints, &found);
    if (code != 0 || !found) {
        error = "cannot find the address of " + displayName(endpoint) + ": "
            + systemMessage(DWORD(code));
        return {};
    }
    std::vector<NetworkAddress> addresses;
    for (const addrinfoW *entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        NetworkAddress address;
        std::memcpy(&address.address, entry->ai_addr, entry->ai_addrlen);
        address.length = socklen_t(entry->ai_addrlen);
        addresses.push_back(address);
    }
    FreeAddrInfoW(found);
    return addresses;
}

OpenResult connectNetwork(
    const Endpoint &endpoint, const NetworkAddress &address, int timeoutMs, NativeWake wake)
{
    OpenResult result;
    const std::string name = displayName(endpoint);
    result.failure = OpenFailure::Other;
    if (!startWinsock(result.error))
        return result;
    const SOCKET socket = WSASocketW(
        address.address.ss_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    // Not inherited by a program the host starts (WSA_FLAG_NO_HANDLE_INHERIT
    // is refused before Windows 7 SP1).
    if (socket != INVALID_SOCKET)
        SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    const WSAEVENT event = WSACreateEvent();
    // The event also makes the socket non-blocking.
    if (socket == INVALID_SOCKET || event == WSA_INVALID_EVENT
        || WSAEventSelect(socket, event, FD_CONNECT | FD_READ | FD_CLOSE) != 0) {
        result.error = "cannot connect to " + name + ": " + systemMessage(WSAGetLastError());
        if (socket != INVALID_SOCKET)
            ::closesocket(socket);
        if (event != WSA_INVALID_EVENT)
            WSACloseEvent(event);
        return result;
    }
    // Status requests are tiny: send them at once rather than gathering.
    const BOOL one = TRUE;
    ::setsockopt(
        socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    int code = 0;
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&address.address), address.length)
        != 0) {
        code = WSAGetLastError();
        if (code == WSAEWOULDBLOCK) {
            const HANDLE handles[2] = {event, wake};
            const DWORD waited
                = WaitForMultipleObjects(wake ? 2 : 1, handles, FALSE, DWORD(timeoutMs));
            WSANETWORKEVENTS seen {};
            WSAEnumNetworkEvents(socket, event, &seen);
            code = (seen.lNetworkEvents & FD_CONNECT) ? seen.iErrorCode[FD_CONNECT_BIT]
                : waited == WAIT_OBJECT_0 + 1         ? WSAEINTR
                                                      : WSAETIMEDOUT;
        }
    }
    if (code != 0) {
        ::closesocket(socket);
        WSACloseEvent(event);
        return connectFailure(name,
            code == WSAECONNREFUSED    ? ConnectError::Refused
                : code == WSAETIMEDOUT ? ConnectError::TimedOut
                                       : ConnectError::Other,
            systemMessage(DWORD(code)), timeoutMs);
    }
    result.failure = OpenFailure::None;
    result.transport = std::make_unique<NetworkConnection>(socket, event, name);
    return result;
}

} // namespace drawerdriver
