// The configuration of the ESC/POS drawer library: which printer port each
// drawer hangs on, and how to kick and read it.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drawerdriver {

inline constexpr int DrawerCount = 8;
inline constexpr char DefaultConfigPath[] = "/etc/kestrin-drawer/drawers.conf";

enum class Connector { Pin2, Pin5, Both };
// What the drawer-sensor level (pin 3) means, if the drawer has a sensor the
// printer can report.
enum class Sensor { None, OpenHigh, OpenLow };

struct DrawerSettings {
    std::string device;
    Connector connector = Connector::Pin2;
    int pulseOnMs = 50;
    int pulseOffMs = 500;
    int timeUnitMs = 2; // the printer's unit for the pulse times: 2 or 10 ms
    int speed = 9600; // serial devices only
    Sensor sensor = Sensor::None;
};

struct DrawerConfig {
    // Index 0 is "Drawer #1". Empty: not configured, or configured wrongly.
    std::array<std::optional<DrawerSettings>, DrawerCount> drawers;
    // One line per problem found, naming the file and line.
    std::vector<std::string> problems;
};

DrawerConfig parseDrawerConfig(std::string_view text, const std::string &fileName);
// The file named by KESTRIN_DRAWERS_CONF, or the default path.
std::string drawerConfigPath();
DrawerConfig loadDrawerConfig(const std::string &path);

} // namespace drawerdriver
