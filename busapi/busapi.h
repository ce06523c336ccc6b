// The drawer service's contract on the system bus, for kestrin-drawerd and
// every client of it: the library in client mode, kestrin-drawer-ctl, the
// web bridge and the notification agent. Plain C++, free of Qt and sd-bus,
// so that every one of them can use it. org.kestrin.Drawers1.xml beside it
// describes the same names for people and bus tools.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace drawerdriver {

// Drawers are numbered 1 to DrawerCount.
inline constexpr int DrawerCount = 8;

namespace bus {

inline constexpr char ServiceName[] = "org.kestrin.Drawers1";
inline constexpr char ManagerPath[] = "/org/kestrin/Drawers1";
inline constexpr char ManagerInterface[] = "org.kestrin.Drawers1.Manager";
inline constexpr char DrawerInterface[] = "org.kestrin.Drawers1.Drawer";
inline constexpr char PropertiesInterface[] = "org.freedesktop.DBus.Properties";
inline constexpr char ObjectManagerInterface[] = "org.freedesktop.DBus.ObjectManager";
inline constexpr char GetManagedObjectsMethod[] = "GetManagedObjects";
inline constexpr char PropertiesChangedSignal[] = "PropertiesChanged";

// The manager's members.
inline constexpr char ReloadMethod[] = "Reload";
inline constexpr char HistoryMethod[] = "History";
inline constexpr char HistoryPageMethod[] = "HistoryPage";
inline constexpr char HistoryRowsMethod[] = "HistoryRows";
inline constexpr char HistoryWorkingProperty[] = "HistoryWorking";

// Each drawer's members.
inline constexpr char OpenMethod[] = "Open";
inline constexpr char OpenBeforeMethod[] = "OpenBefore";
inline constexpr char PrintMethod[] = "Print";
inline constexpr char LeftOpenSignal[] = "LeftOpen";
inline constexpr char NumberProperty[] = "Number";
inline constexpr char ConfiguredProperty[] = "Configured";
inline constexpr char PresentProperty[] = "Present";
inline constexpr char OpenProperty[] = "Open";
inline constexpr char HasSensorProperty[] = "HasSensor";
inline constexpr char DeviceProperty[] = "Device";
inline constexpr char ChangedProperty[] = "Changed";

// Why Open refused; a caller the bus policy refuses gets the bus's own
// org.freedesktop.DBus.Error.AccessDenied.
inline constexpr char NotConfiguredError[] = "org.kestrin.Drawers1.Error.NotConfigured";
inline constexpr char NotPresentError[] = "org.kestrin.Drawers1.Error.NotPresent";
inline constexpr char BusyError[] = "org.kestrin.Drawers1.Error.Busy";
inline constexpr char AccessDeniedError[] = "org.freedesktop.DBus.Error.AccessDenied";
// Nothing was fired: the bus could not say who called, the kick's row was
// not on the disk before the caller's deadline, or it cannot be written.
inline constexpr char UnknownCallerError[] = "org.kestrin.Drawers1.Error.UnknownCaller";
inline constexpr char TooLateError[] = "org.kestrin.Drawers1.Error.TooLate";
inline constexpr char NotRecordedError[] = "org.kestrin.Drawers1.Error.NotRecorded";
// Why Print failed: the drawer's device is no printer, the job is larger
// than MostJobBytes, or the printer took none or only part of it (the
// message says how much).
inline constexpr char NotAPrinterError[] = "org.kestrin.Drawers1.Error.NotAPrinter";
inline constexpr char TooLargeError[] = "org.kestrin.Drawers1.Error.TooLarge";
// A job that can never print as it is: sending it again will not help.
inline constexpr char BadJobError[] = "org.kestrin.Drawers1.Error.BadJob";
inline constexpr char PrintFailedError[] = "org.kestrin.Drawers1.Error.PrintFailed";

// OpenBefore(reason, deadline) fires only until the deadline, a time of
// CLOCK_MONOTONIC (std::chrono::steady_clock) in microseconds; Open(reason)
// until OpenLimit after the service got the call. A caller waits for the
// answer ReplyRoom longer than the deadline it gives, so that an answer
// sent at the deadline still reaches it.
inline constexpr std::chrono::milliseconds OpenLimit {500};
// The furthest deadline the service takes, after it got the call; a later
// one, up to 2^64 - 1 for none, is taken as this one. sd-bus's callers
// wait 25 s for an answer unless they say otherwise.
inline constexpr std::chrono::seconds FurthestDeadline {25};
inline constexpr std::chrono::milliseconds ReplyRoom {500};
// Print(job, title, user): the most bytes one job may hold.
inline constexpr std::size_t MostJobBytes = 16 << 20;
// The print spooler's account, which may call Print and nothing else.
inline constexpr char SpoolerUser[] = "lp";
// The web bridge's user: its refusals are told apart by the token that its
// reasons name ("web: NAME from ...").
inline constexpr char BridgeUser[] = "kestrin-drawer-web";

// The group whose members, with root, may open drawers and reload.
inline constexpr char DrawerGroup[] = "kestrin-drawer";
// The longest reason an Open call keeps, in characters.
inline constexpr int ReasonLimit = 200;

// One row of the service's history, as it keeps it and HistoryPage gives
// it: who did what to which drawer, when.
struct HistoryRow {
    std::int64_t id = 0; // the row's own number, with the time the key of a page
    std::int64_t timeUs = 0; // microseconds since the epoch, UTC
    int drawer = 0; // 1 to DrawerCount; 0 for the service's own rows
    std::string kind; // one of the words of namespace event
    std::optional<std::int64_t> uid;
    std::string user;
    std::optional<std::int64_t> pid;
    std::string program;
    std::string reason;
    std::optional<double> seconds; // how long the drawer was open
    std::uint32_t repeats = 0; // the same refusals that followed, counted in
    std::string state; // a kick's: one of the words of namespace state; else empty
};
// A row of HistoryPage on the bus, with -1 (or "") for what is not known;
// History gives the older rows without the id and the repeats. Spelled
// once, as macros, since the service's method table joins them into its
// replies' signatures.
#define KESTRIN_HISTORY_ROW "(txysxsxssdu)"
#define KESTRIN_OLD_HISTORY_ROW "(xysxsxssd)"
// HistoryRows: HistoryPage's row and the kick's state.
#define KESTRIN_STATE_ROW "(txysxsxssdus)"
inline constexpr char StateRowSignature[] = KESTRIN_STATE_ROW;
inline constexpr char HistoryRowsReply[] = "a" KESTRIN_STATE_ROW "b";
inline constexpr char HistoryRowSignature[] = KESTRIN_HISTORY_ROW;
inline constexpr char OldHistoryRowSignature[] = KESTRIN_OLD_HISTORY_ROW;
inline constexpr char HistoryPageReply[] = "a" KESTRIN_HISTORY_ROW "b";
inline constexpr char HistoryReply[] = "a" KESTRIN_OLD_HISTORY_ROW;

// The words of a row's kind.
namespace event {
inline constexpr char Kick[] = "kick";
inline constexpr char KickRefused[] = "kick-refused";
inline constexpr char KickUndelivered[] = "kick-undelivered";
inline constexpr char Opened[] = "opened";
inline constexpr char Closed[] = "closed";
inline constexpr char LeftOpen[] = "left-open";
inline constexpr char Gone[] = "gone";
inline constexpr char Back[] = "back";
inline constexpr char ServiceStart[] = "service-start";
inline constexpr char ServiceStop[] = "service-stop";
} // namespace event

// A kick's state: its row is on the disk before the kick is sent, pending
// until the device took it (or never did). A kick whose row came too late
// was not sent, and its row became a refusal.
namespace state {
inline constexpr char Pending[] = "pending";
inline constexpr char Delivered[] = "delivered";
inline constexpr char CutShort[] = "cut-short";
inline constexpr char Undelivered[] = "undelivered";
inline constexpr char NotSent[] = "not-sent";
} // namespace state

constexpr bool isDrawerNumber(int number)
{
    return number >= 1 && number <= DrawerCount;
}

// The drawer number a text such as "3" names, or 0 when it names none.
int parseDrawerNumber(std::string_view text);
// The object path of a drawer, 1 to DrawerCount.
std::string drawerPath(int number);
// The drawer number of an object path, or 0 when it names no drawer.
int drawerNumber(std::string_view path);
inline int drawerNumber(const char *path)
{
    return path ? drawerNumber(std::string_view(path)) : 0;
}

} // namespace bus
} // namespace drawerdriver
