#include "config/words.h"

namespace drawerdriver {

std::string sectionHeading(int number)
{
    return "[drawer " + std::to_string(number) + "]";
}

int sectionNumber(std::string_view line)
{
    bool exact = false;
    const int number = headingDrawer(line, exact);
    return exact ? number : 0;
}

const char *sensorName(Sensor sensor)
{
    switch (sensor) {
    case Sensor::OpenHigh:
        return "open-high";
    case Sensor::OpenLow:
        return "open-low";
    case Sensor::None:
        break;
    }
    return "none";
}

const char *protocolName(Protocol protocol)
{
    switch (protocol) {
    case Protocol::Star:
        return "star";
    case Protocol::Hid:
        return "hid";
    case Protocol::Trigger:
        return "trigger";
    case Protocol::EscPos:
        break;
    }
    return "escpos";
}

} // namespace drawerdriver
