#include "config/words.h"

#include <charconv>

namespace drawerdriver {

std::string sectionHeading(int number)
{
    return "[drawer " + std::to_string(number) + "]";
}

int sectionNumber(std::string_view line)
{
    line = trimmed(line);
    constexpr std::string_view opening = "[drawer ";
    if (line.size() < opening.size() + 2 || line.substr(0, opening.size()) != opening
        || line.back() != ']')
        return 0;
    const std::string_view digits
        = trimmed(line.substr(opening.size(), line.size() - opening.size() - 1));
    int number = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || number < 1
        || number > DrawerCount)
        return 0;
    return number;
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
