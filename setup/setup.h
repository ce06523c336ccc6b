// The parts of kestrin-drawer-setup, the command-line tool that finds a
// drawer's device, checks it and writes its section of the configuration
// file. It talks to devices only through the library's transports and
// protocols, so it sends nothing the library would not send.
#pragma once

#include "config/config.h"
#include "config/report.h"
#include "config/words.h"
#include "configfile.h"
#include "protocols/protocol.h"
#include "transports/serialport.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drawerdriver::setup {

// The tool's exit status, as --help and the manual page list them.
enum Exit : int {
    Done = 0,
    NoAnswer = 1, // the device did not answer, a check failed, the file was not written
    Usage = 2, // a wrong command line, or a setting the section would not take
    Permission = 3,
    Busy = 4,
    NotFound = 5,
    NotConfigured = 6,
};

using Arguments = std::vector<std::string>;

// The subcommands; each takes the arguments after its name.
int detect(const Arguments &arguments);
int probe(const Arguments &arguments);
int kick(const Arguments &arguments);
int polarity(const Arguments &arguments);
int set(const Arguments &arguments);
int remove(const Arguments &arguments);
int allow(const Arguments &arguments);
int metrics(const Arguments &arguments);
int printer(const Arguments &arguments);

// --- Messages -------------------------------------------------------------

// A refusal or a failure, on standard error: why, and what to do.
void tell(const std::string &message);
// The tool as the user should type it in a suggested command.
std::string toolCommand();
std::string shellQuoted(const std::string &word);
// The command line that does the same as root.
std::string withSudo(const Arguments &toolArguments);

// --- Drawers and devices -------------------------------------------------

// A drawer number, 1 to 8, from its text; 0 if it is none.
int drawerNumber(const std::string &text);
// Drawer N's settings from the configuration file; a refusal (not
// configured, or the file unreadable) is told and its exit status returned.
int loadDrawer(int drawer, DrawerSettings &settings);
// "tcp://127.0.0.1:9100 (escpos, sensor open-high)" and the like.
std::string describe(const DrawerSettings &settings);

// A USB device's vendor and product ids (four hex digits) and its product
// name, found in sysfs above SYSROOT/class/CLASS/NODE/device.
struct UsbIdentity {
    std::string vendor;
    std::string product;
    std::string name;
};
std::optional<UsbIdentity> usbIdentity(
    const std::string &sysRoot, const std::string &className, const std::string &node);

// What the user must do to be let at a device node they may not open.
// The identity, where already known, names a HID device in its udev rule.
std::string accessAdvice(
    const std::string &path, const std::optional<UsbIdentity> &identity = std::nullopt);
// "held by process 1234 (cupsd)", or what can be said where none shows.
std::string holdersText(const std::string &path);

struct OpenedDevice {
    std::unique_ptr<Transport> transport;
    int exit = Done; // the refusal's exit status where there is no transport
};
// Opens the drawer's device as the library does (for one exchange, not
// held), telling why and what to do where it cannot.
OpenedDevice openDevice(const DrawerSettings &settings);

// One reading of the drawer's sensor.
struct Reading {
    bool answered = false;
    std::optional<bool> level; // high or low, where the answer carries one
    std::vector<std::uint8_t> raw;
    std::string error;
    bool asked = true; // false where the protocol has nothing to ask
    bool present = false; // the device still there after the reading
};
inline constexpr int AnswerLimitMs = 500;
Reading readSensor(Transport &transport, DeviceProtocol &protocol, const DrawerSettings &settings);
// Whether the settings give a level to read: a sensor on the device's
// answer, or on a configured modem line.
bool hasLevelToRead(const DrawerSettings &settings);
// The drawer as the window would show it: "open", "closed" or "no answer".
std::string windowWord(const DrawerSettings &settings, const Reading &reading);
std::string levelWord(bool high);

// Writes the changes into drawer N's section and prints the section;
// without permission, prints the command to run instead. toolArguments
// is that command's tail.
int writeSection(
    int drawer, const std::vector<SettingChange> &changes, const Arguments &toolArguments);

} // namespace drawerdriver::setup
