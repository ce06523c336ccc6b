// ESC/POS receipt printers: ESC p fires the drawer-kick connector, DLE EOT 1
// asks for the printer status in real time, and GS a asks for Automatic
// Status Back, which pushes a 4-byte status whenever the drawer switch
// changes.
#include "protocols/protocol.h"

#include <algorithm>

namespace drawerdriver {

namespace {

// The first byte of an automatic status: bits 0, 1 and 7 clear, bit 4 set.
constexpr bool isAutomaticStatusHeader(std::uint8_t byte)
{
    return (byte & 0x93) == 0x10;
}
// Its other three bytes have bits 4 and 7 clear.
constexpr bool isAutomaticStatusBody(std::uint8_t byte)
{
    return (byte & 0x90) == 0;
}

class EscPos : public DeviceProtocol {
public:
    explicit EscPos(bool automaticStatus) : m_automaticStatus(automaticStatus) { }

    std::vector<std::uint8_t> statusRequest() const override
    {
        return {std::begin(EscPosStatusRequest), std::end(EscPosStatusRequest)};
    }
    std::vector<std::uint8_t> kickCommand(const DrawerSettings &drawer) const override
    {
        return escPosKick(drawer);
    }
    // GS a with the drawer bit, and GS a 0, so that the next program to use
    // the printer gets no status bytes it did not ask for.
    std::vector<std::uint8_t> holdStart() const override
    {
        return m_automaticStatus ? std::vector<std::uint8_t> {0x1D, 0x61, 0x01}
                                 : std::vector<std::uint8_t> {};
    }
    std::vector<std::uint8_t> holdEnd() const override
    {
        return m_automaticStatus ? std::vector<std::uint8_t> {0x1D, 0x61, 0x00}
                                 : std::vector<std::uint8_t> {};
    }
    void parse(const std::uint8_t *data, std::size_t size, std::vector<Frame> &frames) override
    {
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t byte = data[i];
            if (m_frameLength > 0) {
                if (isAutomaticStatusBody(byte)) {
                    if (++m_frameLength == 4) {
                        frames.push_back({Frame::Kind::Pushed, (m_frameHeader & 0x04) != 0});
                        m_frameLength = 0;
                    }
                    continue;
                }
                m_frameLength = 0;
                frames.push_back({Frame::Kind::Noise});
            }
            if (isEscPosStatus(byte))
                frames.push_back({Frame::Kind::Status, (byte & 0x04) != 0});
            else if (m_automaticStatus && isAutomaticStatusHeader(byte)) {
                m_frameHeader = byte;
                m_frameLength = 1;
            } else
                frames.push_back({Frame::Kind::Noise});
        }
    }
    void restart() override { m_frameLength = 0; }

private:
    bool m_automaticStatus;
    std::uint8_t m_frameHeader = 0;
    int m_frameLength = 0;
};

} // namespace

std::uint8_t pulseUnits(int milliseconds, int unitMs)
{
    return std::uint8_t(std::clamp((milliseconds + unitMs / 2) / unitMs, 1, 255));
}

std::vector<std::uint8_t> escPosKick(const DrawerSettings &drawer)
{
    const std::uint8_t on = pulseUnits(drawer.pulseOnMs, drawer.timeUnitMs);
    const std::uint8_t off = pulseUnits(drawer.pulseOffMs, drawer.timeUnitMs);
    std::vector<std::uint8_t> bytes;
    // Always all five bytes: a printer takes missing times from what follows.
    const auto kick = [&](std::uint8_t pin) {
        for (std::uint8_t byte : {std::uint8_t(0x1B), std::uint8_t(0x70), pin, on, off})
            bytes.push_back(byte);
    };
    if (drawer.connector != Connector::Pin5)
        kick(0);
    if (drawer.connector != Connector::Pin2)
        kick(1);
    return bytes;
}

std::unique_ptr<DeviceProtocol> makeEscPos(bool automaticStatus)
{
    return std::make_unique<EscPos>(automaticStatus);
}

std::vector<std::uint8_t> kickBytes(const DrawerSettings &drawer)
{
    return makeProtocol(drawer, false, false)->kickCommand(drawer);
}

std::unique_ptr<DeviceProtocol> makeProtocol(
    const DrawerSettings &settings, bool watchSensor, bool held)
{
    switch (settings.protocol) {
    case Protocol::Star:
        return makeStar();
    case Protocol::Hid:
        return makeHid(settings.hidId);
    case Protocol::Trigger:
        return makeTrigger();
    case Protocol::EscPos:
        break;
    }
    return makeEscPos(watchSensor && held);
}

} // namespace drawerdriver
