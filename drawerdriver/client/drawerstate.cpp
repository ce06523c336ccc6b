#include "client/drawerstate.h"

#include "busapi.h"

#include <cstring>
#include <string_view>

namespace drawerdriver::bus {

namespace {

int readBool(sd_bus_message *message, bool &value)
{
    int flag = 0;
    const int r = sd_bus_message_read(message, "v", "b", &flag);
    value = flag != 0;
    return r;
}

int readProperty(sd_bus_message *message, std::string_view name, DrawerState &state)
{
    if (name == NumberProperty) {
        std::uint8_t number = 0;
        const int r = sd_bus_message_read(message, "v", "y", &number);
        state.number = number;
        return r;
    }
    if (name == ConfiguredProperty)
        return readBool(message, state.configured);
    if (name == PresentProperty)
        return readBool(message, state.present);
    if (name == OpenProperty)
        return readBool(message, state.open);
    if (name == HasSensorProperty)
        return readBool(message, state.hasSensor);
    if (name == ChangedProperty)
        return sd_bus_message_read(message, "v", "t", &state.changedUs);
    if (name == DeviceProperty) {
        const char *device = nullptr;
        const int r = sd_bus_message_read(message, "v", "s", &device);
        if (r >= 0)
            state.device = device;
        return r;
    }
    return sd_bus_message_skip(message, "v");
}

} // namespace

int readDrawerProperties(sd_bus_message *message, DrawerState &state)
{
    int r = sd_bus_message_enter_container(message, 'a', "{sv}");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char *name = nullptr;
        if ((r = sd_bus_message_read(message, "s", &name)) < 0
            || (r = readProperty(message, name, state)) < 0
            || (r = sd_bus_message_exit_container(message)) < 0)
            return r;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(message);
}

int readPropertiesChanged(sd_bus_message *signal, DrawerState &state)
{
    const char *interface = nullptr;
    const int r = sd_bus_message_read(signal, "s", &interface);
    if (r < 0 || std::strcmp(interface, DrawerInterface) != 0)
        return r;
    return readDrawerProperties(signal, state);
}

int readManagedObjects(sd_bus_message *reply, Drawers &drawers)
{
    int r = sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}");
    while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}")) > 0) {
        const char *path = nullptr;
        if ((r = sd_bus_message_read(reply, "o", &path)) < 0
            || (r = sd_bus_message_enter_container(reply, 'a', "{sa{sv}}")) < 0)
            return r;
        const int number = drawerNumber(path);
        while ((r = sd_bus_message_enter_container(reply, 'e', "sa{sv}")) > 0) {
            const char *interface = nullptr;
            if ((r = sd_bus_message_read(reply, "s", &interface)) < 0)
                return r;
            if (number > 0 && std::strcmp(interface, DrawerInterface) == 0)
                r = readDrawerProperties(reply, drawers[number - 1]);
            else
                r = sd_bus_message_skip(reply, "a{sv}");
            if (r < 0 || (r = sd_bus_message_exit_container(reply)) < 0)
                return r;
        }
        if (r < 0 || (r = sd_bus_message_exit_container(reply)) < 0
            || (r = sd_bus_message_exit_container(reply)) < 0)
            return r;
    }
    return r < 0 ? r : sd_bus_message_exit_container(reply);
}

} // namespace drawerdriver::bus
