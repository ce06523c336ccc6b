// Star printers in their own line mode: BEL fires drawer 1 and SUB drawer 2,
// each after ESC BEL n1 n2 sets the pulse; ESC ACK SOH asks for a status of
// variable length, whose third byte carries the drawer switch.
#include "protocols/protocol.h"

namespace drawerdriver {

namespace {

constexpr std::uint8_t Bel = 0x07;
constexpr std::uint8_t Sub = 0x1A;

// The header byte has bit 0 set and bit 4 clear, and gives the length.
constexpr bool isStatusHeader(std::uint8_t byte)
{
    return (byte & 0x11) == 0x01;
}
constexpr std::size_t statusLength(std::uint8_t header)
{
    return ((header >> 1) & 0x07) | ((header >> 2) & 0x08);
}

class Star : public DeviceProtocol {
public:
    std::vector<std::uint8_t> statusRequest() const override
    {
        return {std::begin(StarStatusRequest), std::end(StarStatusRequest)};
    }
    std::vector<std::uint8_t> kickCommand(const DrawerSettings &drawer) const override
    {
        return starKick(drawer);
    }

    void parse(const std::uint8_t *data, std::size_t size, std::vector<Frame> &frames) override
    {
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t byte = data[i];
            if (m_status.empty()) {
                // A status too short to hold the drawer byte is none.
                if (!isStatusHeader(byte) || statusLength(byte) < 3) {
                    frames.push_back({Frame::Kind::Noise});
                    continue;
                }
                m_length = statusLength(byte);
            }
            m_status.push_back(byte);
            if (m_status.size() == m_length) {
                frames.push_back({Frame::Kind::Status, (m_status[2] & 0x04) != 0});
                m_status.clear();
            }
        }
    }
    void restart() override { m_status.clear(); } // half a status from before

private:
    std::vector<std::uint8_t> m_status;
    std::size_t m_length = 0;
};

} // namespace

std::vector<std::uint8_t> starKick(const DrawerSettings &drawer)
{
    const std::uint8_t on = pulseUnits(drawer.pulseOnMs, 10);
    const std::uint8_t off = pulseUnits(drawer.pulseOffMs, 10);
    std::vector<std::uint8_t> bytes;
    const auto kick = [&](std::uint8_t fire) {
        for (std::uint8_t byte : {std::uint8_t(0x1B), Bel, on, off, fire})
            bytes.push_back(byte);
    };
    if (drawer.connector != Connector::Pin5)
        kick(Bel);
    if (drawer.connector != Connector::Pin2)
        kick(Sub);
    return bytes;
}

std::unique_ptr<DeviceProtocol> makeStar()
{
    return std::make_unique<Star>();
}

} // namespace drawerdriver
