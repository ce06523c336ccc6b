// Drawer-trigger boxes on a serial port: they fire on their kick bytes, and
// report the drawer switch, if at all, on a modem status line.
#include "protocols/protocol.h"

namespace drawerdriver {

namespace {

// Whatever the box sends is of no meaning here.
class Trigger : public DeviceProtocol {
public:
    std::vector<std::uint8_t> kickCommand(const DrawerSettings &drawer) const override
    {
        return drawer.kick;
    }
    void parse(const std::uint8_t *, std::size_t, std::vector<Frame> &) override { }
};

} // namespace

std::unique_ptr<DeviceProtocol> makeTrigger()
{
    return std::make_unique<Trigger>();
}

} // namespace drawerdriver
