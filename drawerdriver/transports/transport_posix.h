// The POSIX transports: each is a file descriptor, waited on with poll.
#pragma once

#include "transports/transport.h"

#include <sys/types.h>

namespace drawerdriver {

class FdTransport : public Transport {
public:
    ~FdTransport() override;

    int fd() const { return m_fd; }
    bool isPresent() const override;
    long readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error) override;
    WaitResult waitReadable(Clock::time_point deadline, const WakeSignal *wake = nullptr) override;
    std::size_t unsentBytes() const override;
    WaitResult waitReadyForJob(
        Clock::time_point deadline, bool writable, const WakeSignal *wake = nullptr) override;

protected:
    FdTransport(int fd, std::string name);
    long writeSome(const std::uint8_t *bytes, std::size_t size, std::string &error) override;
    WaitResult waitWritable(Clock::time_point deadline) override;
    // The system call of one write.
    virtual ssize_t sendBytes(const std::uint8_t *bytes, std::size_t size);

    int m_fd;
};

// A device node: its presence also means that the node still names the
// device that was opened, since a replugged device may come back as another.
class DeviceNode : public FdTransport {
public:
    DeviceNode(int fd, std::string path);
    bool isPresent() const override;
};

} // namespace drawerdriver
