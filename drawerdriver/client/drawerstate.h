// One drawer as the drawer service publishes it, and the reading of its
// properties from a bus message, shared by every client of the service.
#pragma once

#include "busapi.h"

#include <array>
#include <cstdint>
#include <string>

#include <systemd/sd-bus.h>

namespace drawerdriver::bus {

struct DrawerState {
    int number = 0; // 1 to DrawerCount
    bool configured = false;
    bool present = false;
    bool open = false;
    bool hasSensor = false;
    std::string device;
    std::uint64_t changedUs = 0; // microseconds since the epoch
};

// Reads an a{sv} of the drawer interface's properties into state; unknown
// properties are skipped. A negative errno when the message is malformed.
int readDrawerProperties(sd_bus_message *message, DrawerState &state);

// Reads the changes of a PropertiesChanged signal, from its start;
// properties of other interfaces leave state untouched.
int readPropertiesChanged(sd_bus_message *signal, DrawerState &state);

using Drawers = std::array<DrawerState, DrawerCount>;

// Reads the answer of GetManagedObjects: every drawer object's properties,
// at the index of its number less one.
int readManagedObjects(sd_bus_message *reply, Drawers &drawers);

} // namespace drawerdriver::bus
