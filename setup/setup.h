// The parts of kestrin-drawer-setup, the command-line tool that finds a
// drawer's device, checks it and writes its section of the configuration
// file. It talks to devices only through the library's transports and
// protocols, so it sends nothing the library would not send. What differs
// between POSIX and Windows is in the files named _posix and _win32.
#pragma once

#include "config/config.h"
#include "config/report.h"
#include "config/words.h"
#include "configfile.h"
#include "protocols/protocol.h"
#include "transports/serialport.h"

#include <cstdint>
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
// The devices of this computer a drawer may hang on (detect without
// arguments).
int detectLocal();
// A command only this platform has (allow, metrics); -1 for none.
int platformCommand(const std::string &command, const Arguments &arguments);
// The help's lines for those commands, the device names and the file.
extern const char *const PlatformCommandsHelp;
extern const char *const DeviceHelp;
extern const char *const FileHelp;

// The tool's command line after the program's name, as UTF-8: its exit
// status.
int runTool(const Arguments &arguments);

// --- Messages -------------------------------------------------------------

#if defined(_WIN32)
#define SETUP_PRINTF_LIKE __attribute__((format(gnu_printf, 1, 2)))
#else
#define SETUP_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#endif
// Text on standard output, formatted as by printf; on a Windows console
// in its own characters, through a pipe or into a file as UTF-8.
void say(const char *format, ...) SETUP_PRINTF_LIKE;
// Text on standard output and standard error, as is.
void sayText(const std::string &text);
void sayError(const std::string &text);
// A refusal or a failure, on standard error: why, and what to do.
void tell(const std::string &message);
// The tool as the user should type it in a suggested command.
std::string toolCommand();
// A word quoted for the user's command line (the shell, or cmd.exe).
std::string shellQuoted(const std::string &word);
// What to run, as the administrator (root), to do the same: "Run this
// instead:\n  sudo ...".
std::string asAdministrator(const Arguments &toolArguments);
// Waits for a line on standard input, within 10 minutes; false, told,
// when none came.
bool waitForEnter();

// --- Drawers and devices -------------------------------------------------

// A drawer number, 1 to 8, from its text; 0 if it is none.
int drawerNumber(const std::string &text);
// Drawer N's settings from the configuration file; a refusal (not
// configured, or the file unreadable) is told and its exit status returned.
int loadDrawer(int drawer, DrawerSettings &settings);
// "tcp://127.0.0.1:9100 (escpos, sensor open-high)" and the like.
std::string describe(const DrawerSettings &settings);

// "held by process 1234 (cupsd)", or what can be said where none shows.
std::string holdersText(const std::string &path);
// What stands in the way of opening a local device, told, as the exit
// status; Done where nothing does. Nothing is opened here.
int checkLocalDevice(const std::string &path);
// What to do where the configuration file may not be read.
std::string readAccessAdvice(const std::string &path);

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

// --- Editing the file ----------------------------------------------------

// Holds the configuration's folder locked while a command reads, changes
// and replaces the file, so that two edits at once both land.
class EditLock {
public:
    explicit EditLock(const std::string &path);
    ~EditLock();
    EditLock(const EditLock &) = delete;
    EditLock &operator=(const EditLock &) = delete;
    // False only while another edit holds it past the limit; a folder that
    // cannot be opened is no one's to lock.
    bool held() const { return m_held || m_lock == -1; }

private:
    std::intptr_t m_lock = -1; // a descriptor, or a HANDLE
    bool m_held = false;
};
// Whether the user may replace the file: a new file made beside it and
// renamed over it.
bool mayWrite(const std::string &path);
// Why the tool must not write the file as the user it runs as (root, that
// is, into a file another user controls), or empty.
std::string unsafeToWrite(const std::string &path);
// A device the changes name that is a file and no device, or empty.
std::string notADevice(const std::vector<SettingChange> &changes);
// Notes for devices the changes name that are not there now.
void noteMissingDevices(const std::vector<SettingChange> &changes);

} // namespace drawerdriver::setup
