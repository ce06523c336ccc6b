// HID cash drawers with an ID switch (0 to 7). Every report is 120 bytes
// without a report ID; written to hidraw, it goes out behind the report ID
// 0, as 121 bytes. [id][id] opens the drawer; [id][id+1] asks for its state,
// and the drawer answers with a report whose first byte is (id << 4) | s,
// bit 0 of s set while the drawer is closed. Nothing else is ever sent.
#include "protocols/protocol.h"

namespace drawerdriver {

namespace {

class Hid : public DeviceProtocol {
public:
    explicit Hid(int id) : m_id(std::uint8_t(id)) { }

    std::vector<std::uint8_t> statusRequest() const override { return report(m_id + 1); }
    std::vector<std::uint8_t> kickCommand(const DrawerSettings &) const override
    {
        return report(m_id);
    }
    std::size_t readSize() const override { return HidReportSize; }

    // The level is the "closed" bit: high while closed. A short report, or
    // another drawer's on the same node, is nothing to this drawer.
    void parse(const std::uint8_t *data, std::size_t size, std::vector<Frame> &frames) override
    {
        if (size >= HidReportSize && (data[0] >> 4) == m_id)
            frames.push_back({Frame::Kind::Status, (data[0] & HidClosedBit) != 0});
    }

private:
    std::vector<std::uint8_t> report(int second) const
    {
        std::vector<std::uint8_t> bytes(HidReportSize + 1, 0);
        bytes[1] = m_id;
        bytes[2] = std::uint8_t(second);
        return bytes;
    }

    std::uint8_t m_id;
};

} // namespace

std::unique_ptr<DeviceProtocol> makeHid(int id)
{
    return std::make_unique<Hid>(id);
}

} // namespace drawerdriver
