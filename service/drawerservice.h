// kestrin-drawerd's drawers: one device monitor per device of drawers.conf,
// shared by every client, and the drawer objects on the bus that
// follow them.
#pragma once

#include "alarm.h"
#include "client/sdbusref.h"
#include "config/config.h"
#include "history.h"
#include "historywriter.h"
#include "metrics.h"
#include "monitor/monitor.h"
#include "refusals.h"

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

namespace drawerservice {

using drawerdriver::DeviceMonitor;
using drawerdriver::DrawerSettings;

class DrawerService;

struct Drawer {
    DrawerService *service = nullptr;
    int number = 0; // 1 to DrawerCount
    std::string path;
    std::optional<DrawerSettings> settings;
    std::shared_ptr<DeviceMonitor> monitor;
    bool present = false;
    bool open = false;
    std::uint64_t changedUs = 0;
    std::optional<std::chrono::steady_clock::time_point> lastKick;
    // A kick whose row is being written: the drawer is busy until then, or
    // until the kick's deadline, after which it never fires.
    bool kickUnderWay = false;
    LeftOpenAlarm alarm;
};

class DrawerService {
public:
    DrawerService(sd_event *event, sd_bus *bus, std::string configPath);
    ~DrawerService();
    DrawerService(const DrawerService &) = delete;
    DrawerService &operator=(const DrawerService &) = delete;

    // Publishes the objects, starts the monitors, then takes the bus name,
    // so that the first client already sees the devices' first answers.
    // A negative errno on failure, told on standard error.
    int start();
    // Reads drawers.conf again; only devices whose sections changed get a
    // new monitor.
    void reload();

    // Open and OpenBefore: answered once the kick is fired or refused
    // (opening.cpp). Fires only before the deadline, and only after the
    // kick's row is on the disk with the caller's account.
    int openDrawer(Drawer &drawer, sd_bus_message *call, const char *reason,
        std::optional<std::chrono::steady_clock::time_point> deadline);
    // Print: the job's bytes read from fd, its kicks recorded, then printed
    // by the drawer's monitor; answered once printed (printing.cpp). Takes
    // the descriptor.
    int print(Drawer &drawer, sd_bus_message *call, int fd, const char *title, const char *user);
    // The History, HistoryPage and HistoryRows methods: rows of the record,
    // oldest first; keyed, pages start after a row's time and id.
    enum class RowFormat { Old, Keyed, WithState };
    int readHistory(sd_bus_message *call, RowFormat format);
    bool historyWorking() const { return m_writer && m_writer->working(); }
    std::uint64_t unwrittenRefusals() const { return m_writer ? m_writer->unwrittenRefusals() : 0; }
    const std::array<Drawer, drawerdriver::DrawerCount> &drawers() const { return m_drawers; }

private:
    // An Open being answered.
    struct PendingOpen {
        std::uint64_t id = 0;
        Drawer *drawer = nullptr;
        drawerdriver::MessageRef call;
        std::string sender;
        std::string reason; // cleaned
        std::chrono::steady_clock::time_point deadline;
        drawerdriver::EventSourceRef timer;
        // The kick, once the bus said who; until then the bus name alone.
        Event event;
        HistoryWriter::Ticket row = 0; // the kick's row, once asked for
        bool replied = false;
        bool late = false; // the deadline passed, or the kick was given up: no fire
    };

    struct Notices;
    // A job's share of the bytes that all jobs, read or waiting for their
    // printer, may hold at once; given back when the job goes, however it
    // ends (printing.cpp).
    class JobBytes {
    public:
        explicit JobBytes(std::shared_ptr<Notices> notices = nullptr)
            : m_notices(std::move(notices))
        {
        }
        JobBytes(JobBytes &&other) noexcept;
        JobBytes &operator=(JobBytes &&other) noexcept;
        ~JobBytes();
        // Takes count more; false, taking nothing, past the limit.
        bool take(std::size_t count);

    private:
        std::shared_ptr<Notices> m_notices;
        std::size_t m_count = 0;
    };

    // A Print being answered (printing.cpp).
    struct PendingPrint {
        std::uint64_t id = 0; // also the job's id in its rows
        Drawer *drawer = nullptr;
        drawerdriver::MessageRef call;
        std::string title; // cleaned
        std::string user; // as the caller names it, cleaned
        bool read = false;
        std::vector<std::uint8_t> bytes;
        std::string readError;
        bool tooLarge = false;
        bool overBudget = false; // other jobs hold too many bytes
        JobBytes held;
        std::optional<Event> caller; // once the bus has named it
        // The rows of the kicks inside the job, and their places in it.
        struct KickRow {
            HistoryWriter::Ticket row = 0;
            std::size_t offset = 0;
            Event event;
        };
        std::vector<KickRow> kicks;
        std::size_t rowsWaiting = 0;
        bool rowFailed = false;
        bool ready = false; // read, its kicks on the disk
        bool handedOver = false;
    };
    void jobRead(std::uint64_t id, std::vector<std::uint8_t> bytes, std::string error,
        bool tooLarge, bool overBudget, JobBytes held);
    void printCallerKnown(std::uint64_t id, const Event *identity);
    void recordJobKicks(PendingPrint &print);
    void jobKickWritten(std::uint64_t id, bool written);
    void jobReady(PendingPrint &print);
    void handOverReadyJobs();
    void handJobOver(PendingPrint &print);
    void jobEnded(std::uint64_t id, const drawerdriver::PrintResult &result);
    void failPrint(PendingPrint &print, const char *error, const std::string &message);
    void takePrintNotices();
    void abandonPrints();

    void watchConfigFile();
    void scheduleReload();
    void refresh();
    void announce(Drawer &drawer, bool state, bool settings);
    // The record: each event is told to the journal and written, in order.
    void record(Event event);
    void kickEnded(HistoryWriter::Ticket row, const Event &kick, drawerdriver::KickEnd end,
        const char *whyNotWhole);
    void historyChanged();
    // The steps of an Open (opening.cpp).
    struct Caller;
    // Told the caller's account, or null when the bus cannot name it.
    using CallerKnown = std::function<void(const Event *identity)>;
    void whoCalled(const std::string &sender, CallerKnown then);
    void askCaller(PendingOpen &open);
    void callerKnown(Caller &caller, bool named);
    void judge(PendingOpen &open);
    void kickRowWritten(std::uint64_t open, bool written);
    void giveUp(PendingOpen &open);
    void kickGivenUp(std::uint64_t open);
    void fire(PendingOpen &open);
    void refuseOpen(PendingOpen &open, const char *refusal, const char *error, std::string message);
    void reply(PendingOpen &open, const char *error = nullptr, const std::string &message = {});
    void finish(PendingOpen &open);
    void abandonOpens();
    // A refused Open: recorded, or folded into the row of the same
    // account's refusal just before.
    void recordRefusal(const Event &event, const char *refusal, const std::string &callerReason);
    std::string refusalKey(
        const Event &event, const char *refusal, const std::string &reason) const;
    // Writes the counts of the folds that ended by then (all, with no time).
    void writeFoldedRefusals(std::optional<RefusalFolder::Clock::time_point> now);
    void recordChange(Drawer &drawer, bool wasPresent, bool wasOpen);
    void soundAlarms();
    void scheduleAlarm();
    void takeKickEnds();
    void recordService(const char *kind);
    void trimHistory();

    static int onNotice(sd_event_source *source, int fd, std::uint32_t events, void *userdata);
    static int onCaller(sd_bus_message *reply, void *userdata, sd_bus_error *error);
    static int onDeadline(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onAlarmTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onFoldTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onTrimTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onReloadTimer(sd_event_source *source, std::uint64_t usec, void *userdata);
    static int onConfigEvent(
        sd_event_source *source, const struct inotify_event *event, void *userdata);
    static int onHangUp(
        sd_event_source *source, const struct signalfd_siginfo *info, void *userdata);

    sd_event *m_event;
    sd_bus *m_bus;
    const std::string m_configPath;
    std::array<Drawer, drawerdriver::DrawerCount> m_drawers;
    // Each holds one handle, so that it keeps watching without callers.
    std::map<std::string, std::shared_ptr<DeviceMonitor>> m_monitors;
    drawerdriver::EventSourceRef m_noticeSource;
    drawerdriver::EventSourceRef m_alarmTimer;
    drawerdriver::EventSourceRef m_reloadTimer;
    drawerdriver::EventSourceRef m_trimTimer;
    // Armed only while folded refusals wait to be counted.
    drawerdriver::EventSourceRef m_foldTimer;
    RefusalFolder m_refusals;
    // Writes on a thread of its own; the loop reads through a reader.
    std::unique_ptr<HistoryWriter> m_writer;
    std::unique_ptr<History> m_reader;
    bool m_toldWorking = true;
    // Reads that came before the writer had opened the file, answered then.
    std::vector<std::pair<drawerdriver::MessageRef, RowFormat>> m_earlyReads;
    std::unique_ptr<MetricsFile> m_metrics;
    // The Opens being answered, and the kicks fired whose end the device's
    // monitor has not told yet, by the ticket of their row.
    std::map<std::uint64_t, std::unique_ptr<PendingOpen>> m_opens;
    std::uint64_t m_nextOpen = 1;
    std::map<HistoryWriter::Ticket, Event> m_kicksUnderWay;
    std::map<std::uint64_t, std::unique_ptr<PendingPrint>> m_prints;
    std::uint64_t m_lastPrintId = 0;
    // Who each connection is, by its unique name, which the bus never
    // gives again: asked of the bus once, for all the connection's calls.
    struct Caller {
        DrawerService *service = nullptr;
        std::string name;
        bool named = false; // the bus has answered, naming the account
        Event identity; // uid, user, pid and program
        drawerdriver::SlotRef asking; // GetConnectionCredentials, while due
        std::vector<CallerKnown> waiting; // the calls that wait for the answer
    };
    std::map<std::string, std::unique_ptr<Caller>> m_callers;
    std::deque<std::string> m_callerOrder; // oldest first, to keep a bounded few
    std::optional<uid_t> m_bridgeUid;
    int m_keepDays = 400;
    // Events are recorded once the service owns its name; the state found
    // at start is no change.
    bool m_recording = false;
    // What the monitors tell the event loop from their threads: a drawer's
    // state changed, or a kick ended. The loop sleeps until one comes.
    // Shared with the monitors, which may outlive the service.
    struct KickEndNotice {
        std::uint64_t tag = 0;
        drawerdriver::KickEnd end = drawerdriver::KickEnd::Delivered;
    };
    struct Notices {
        Notices();
        ~Notices();
        void post();
        int fd = -1; // an eventfd, readable while a notice is waiting
        std::mutex mutex;
        std::vector<KickEndNotice> kickEnds;
        // Jobs read from their descriptors, and jobs printed, by id.
        struct JobRead {
            std::uint64_t id = 0;
            std::vector<std::uint8_t> bytes;
            std::string error;
            bool tooLarge = false;
            bool overBudget = false;
            JobBytes held;
        };
        std::vector<JobRead> jobsRead;
        std::atomic<std::size_t> jobBytes {0}; // held by every job
        std::vector<std::pair<std::uint64_t, drawerdriver::PrintResult>> jobsEnded;
    };
    std::shared_ptr<Notices> m_notices = std::make_shared<Notices>();
};

} // namespace drawerservice
