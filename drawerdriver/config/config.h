// The drawer library's configuration: which device each drawer hangs on, how
// to talk to that device, and how to fire and read the drawer.
#pragma once

#include "busapi.h" // DrawerCount

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drawerdriver {

#if !defined(_WIN32)
inline constexpr char DefaultConfigPath[] = "/etc/kestrin-drawer/drawers.conf";
#endif

enum class Protocol { EscPos, Star, Hid, Trigger };
enum class Connector { Pin2, Pin5, Both };
// What the drawer-sensor level means, if the drawer has a sensor the device
// can report.
enum class Sensor { None, OpenHigh, OpenLow };
// The modem status line a drawer-trigger box reports its drawer switch on.
enum class SensorLine { None, Ri, Cts, Dsr, Dcd };

// Where a device is: a device node, or a receipt printer on the network.
struct Endpoint {
    std::string path; // empty for a network printer
    std::string host; // without brackets
    int port = 9100;

    bool isNetwork() const { return path.empty(); }
    bool operator==(const Endpoint &) const = default;
};

struct DrawerSettings {
    std::string device; // as written in the file
    Endpoint endpoint;
    Protocol protocol = Protocol::EscPos;
    Connector connector = Connector::Pin2;
    int pulseOnMs = 50;
    int pulseOffMs = 500;
    int timeUnitMs = 2; // the printer's unit for the pulse times: 2 or 10 ms
    int speed = 9600; // serial devices only
    Sensor sensor = Sensor::None;
    // Keep the device open while a handle is held. Unset: the device's
    // default (yes for serial ports and for drawers that are devices
    // themselves, no for printers shared with other programs).
    std::optional<bool> hold;
    int hidId = 0; // the ID switch of a HID drawer
    std::vector<std::uint8_t> kick {0x07}; // a trigger box's kick bytes
    SensorLine sensorLine = SensorLine::None;
    // How long the drawer may stay open before the drawer service raises
    // its left-open alarm, in seconds; 0: never.
    int alarmAfterSeconds = 0;

    bool operator==(const DrawerSettings &) const = default;
};

// The [service] section: the drawer service's own settings.
struct ServiceSettings {
    int keepDays = 400; // how long the history keeps its rows
    int keepMegabytes = 100; // the most its rows may take on the disk
    // The folder node-exporter reads; kestrin-drawer-setup metrics on links
    // the service's metrics file there.
    std::string metricsDir = "/var/lib/prometheus/node-exporter";
    bool operator==(const ServiceSettings &) const = default;
};
// The drawer service's metrics file, in the folder metrics of its state
// folder, and the name of its link in metrics-dir.
inline constexpr const char *MetricsFileName = "kestrin-drawer.prom";

// The [web] section: the web bridge's settings.
struct WebSettings {
    int port = 8193;
    // Origins of web apps allowed to use the bridge, besides its own page.
    std::vector<std::string> allowOrigins;
    bool operator==(const WebSettings &) const = default;
};

struct DrawerConfig {
    // Index 0 is "Drawer #1". Empty: not configured, or configured wrongly.
    std::array<std::optional<DrawerSettings>, DrawerCount> drawers;
    // One line per problem found, naming the file and line.
    std::vector<std::string> problems;
    // The drawers whose section is there but refused, with its problem above.
    std::array<bool, DrawerCount> refused {};
    // The settings of the programs around the library, which it ignores.
    ServiceSettings service;
    WebSettings web;
    std::string fileName;
    bool unread = false; // the file itself was refused, as its one problem says
};

// Larger than any real configuration: a file beyond it is refused unread.
inline constexpr long LargestConfig = 1 << 20;

DrawerConfig parseDrawerConfig(std::string_view text, const std::string &fileName);
// The file named by KESTRIN_DRAWERS_CONF, or the default path.
std::string drawerConfigPath();
// The system's own file: DefaultConfigPath on POSIX, drawers.conf in the
// folder Kestrin of the program data (C:\ProgramData) on Windows.
std::string defaultDrawerConfigPath();
// Reads the file, or names in one problem why not (a FIFO, a device, a
// folder or a file too large is never read), and parses it.
DrawerConfig loadDrawerConfig(const std::string &path);

struct ConfigText {
    std::string text;
    std::string problem; // empty when read
    int error = 0; // the errno where the file could not be looked at or opened
};
// The text of a configuration file: only a regular file, up to
// LargestConfig, opened without blocking, so nothing named here can hang
// or flood the reader.
ConfigText readConfigFile(const std::string &path);

#if !defined(_WIN32)
// What a file's stat mode says it is, in words: "a regular file", "a block
// device (a disk)", "a folder", "a pipe"...
const char *fileKind(unsigned mode);
#endif

// The line without a comment after its value ("key = value  # note"): a #
// after a blank starts one.
std::string_view withoutComment(std::string_view line);
// What the library says of a drawer without a section (index 0 is
// "Drawer #1"): the file, unless its own problem named it, and the
// commands that write one.
std::string notConfigured(const DrawerConfig &config, int drawerIndex);

// "tcp://HOST[:PORT]" or a local device; empty on success, else what is wrong.
std::string parseEndpoint(std::string_view device, Endpoint &endpoint);
// A local device as the platform names one: an absolute path on POSIX;
// COMn, printer:QUEUE, usb:VID:PID[:SERIAL] or hid:VID:PID on Windows.
std::string parseLocalDevice(std::string_view device, Endpoint &endpoint);
// What is wrong with a section's device for its protocol on this platform,
// or empty.
std::string checkDevice(const DrawerSettings &settings);
// One section's "key = value"; empty on success, else what is wrong. The
// keys given so far are collected in `given`, for the checks of a whole
// section in checkSection.
std::string applySetting(DrawerSettings &settings, std::string_view key, std::string_view value,
    std::vector<std::string> &given);
// What is wrong with a complete section, or empty.
std::string checkSection(const DrawerSettings &settings, const std::vector<std::string> &given);

// The text without the blanks around it, as the file's lines are read.
std::string_view trimmed(std::string_view text);
// The text of a value as the file writes it: "01 1B".
std::string hexBytes(const std::vector<std::uint8_t> &bytes);

} // namespace drawerdriver
