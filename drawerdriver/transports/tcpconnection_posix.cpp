#include "transports/transport_posix.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace drawerdriver {

namespace {

std::string displayName(const Endpoint &endpoint)
{
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    return "tcp://" + (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":"
        + std::to_string(endpoint.port);
}

class NetworkConnection : public FdTransport {
public:
    NetworkConnection(int fd, std::string name) : FdTransport(fd, std::move(name)) { }

    // A peer that has closed must not end the program with SIGPIPE.
    ssize_t sendBytes(const std::uint8_t *bytes, std::size_t size) override
    {
        return ::send(m_fd, bytes, size, MSG_NOSIGNAL);
    }

    bool isPresent() const override
    {
        const WaitResult state = waitFor(m_fd, POLLRDHUP, Clock::now());
        return !state.failed && !state.hungUp && !(state.events & POLLRDHUP);
    }
};

} // namespace

std::vector<NetworkAddress> resolveNetworkAddresses(const Endpoint &endpoint, std::string &error)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    const int code = ::getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found);
    if (code != 0 || !found) {
        error = "cannot find the address of " + displayName(endpoint) + ": "
            + (code == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(code));
        return {};
    }
    std::vector<NetworkAddress> addresses;
    for (const addrinfo *entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        NetworkAddress address;
        std::memcpy(&address.address, entry->ai_addr, entry->ai_addrlen);
        address.length = entry->ai_addrlen;
        addresses.push_back(address);
    }
    ::freeaddrinfo(found);
    return addresses;
}

OpenResult connectNetwork(
    const Endpoint &endpoint, const NetworkAddress &address, int timeoutMs, NativeWake wakeFd)
{
    OpenResult result;
    const std::string name = displayName(endpoint);
    const int fd
        = ::socket(address.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.error = "cannot connect to " + name + ": " + std::strerror(errno);
        result.failure = OpenFailure::Other;
        return result;
    }
    // Status requests are tiny: send them at once rather than gathering.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A print job's bytes wait in the printer, not here: a status question
    // or a kick put between two of its commands is not held up behind
    // seconds of the job, and the job's end is known when the printer
    // has it.
    const int sendBuffer = 2048; // the kernel keeps its least, about 4.5 kB
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    int code = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address.address), address.length) != 0) {
        code = errno;
        if (code == EINPROGRESS) {
            const WaitResult ready
                = waitFor(fd, POLLOUT, Clock::now() + std::chrono::milliseconds(timeoutMs), wakeFd);
            socklen_t length = sizeof code;
            if (ready.events & (POLLOUT | POLLERR | POLLHUP))
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length);
            else
                code = ETIMEDOUT;
        }
    }
    if (code != 0) {
        ::close(fd);
        return connectFailure(name,
            code == ECONNREFUSED    ? ConnectError::Refused
                : code == ETIMEDOUT ? ConnectError::TimedOut
                                    : ConnectError::Other,
            std::strerror(code), timeoutMs);
    }
    result.transport = std::make_unique<NetworkConnection>(fd, name);
    return result;
}

} // namespace drawerdriver
