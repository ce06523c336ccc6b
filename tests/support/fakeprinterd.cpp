// fake-printer: a receipt printer with a cash drawer on its drawer port, as
// a process of its own, for the set-up tool's tests and for trying the tool
// and the window by hand. It plays the printer on 127.0.0.1 (or, with
// --pty, on a pseudo-terminal), prints where it is on the first line, and
// then one line for everything that happens to the drawer.
//
// The drawer opens when it is kicked, and on the commands below, read one a
// line from standard input; SIGUSR1 opens a closed drawer and closes an open
// one. Each command answers with one line.
//
//   open, close        move the drawer
//   silent, answer     stop and start answering status requests
//   garbage            answer with bytes that are no status (flood a network client)
//   speed              the speed the pseudo-terminal was set to
//   vanish, back       drop off the network (or unplug) and come back
//   one-at-a-time      serve only the oldest connection, as a printer's
//                      network interface does; the others wait
//   kicks, requests    how many kicks and status requests arrived
//   received           every byte received, in hex
//   quit               end (so do SIGTERM, SIGINT and SIGHUP)

#include "fakenetworkprinter.h"
#include "ptyprinter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

volatile std::sig_atomic_t toggleRequested = 0;
volatile std::sig_atomic_t stopRequested = 0;

void onToggle(int)
{
    toggleRequested = 1;
}

void onStop(int)
{
    stopRequested = 1;
}

class Printer {
public:
    virtual ~Printer() = default;
    virtual std::string where() const = 0;
    virtual void setLevel(bool high) = 0;
    virtual void setAnswering(bool answering) = 0;
    virtual std::vector<std::uint8_t> received() const = 0;
    virtual int requests() const = 0;
    virtual void vanish() = 0;
    virtual bool comeBack() = 0;
    virtual void sendGarbage() = 0;
    virtual std::string speed() const { return "no speed on the network"; }
    virtual void serveOneAtATime() { }
};

class NetworkPrinter : public Printer {
public:
    std::string where() const override { return m_printer.address(); }
    void setLevel(bool high) override { m_printer.sensorHigh = high; }
    void setAnswering(bool answering) override
    {
        m_printer.mode
            = answering ? FakeNetworkPrinter::Mode::Answering : FakeNetworkPrinter::Mode::Silent;
    }
    std::vector<std::uint8_t> received() const override { return m_printer.received(); }
    int requests() const override { return m_printer.statusRequests(); }
    void vanish() override { m_printer.vanish(); }
    bool comeBack() override
    {
        m_printer.comeBack();
        return true;
    }
    void sendGarbage() override { m_printer.mode = FakeNetworkPrinter::Mode::Flooding; }
    void serveOneAtATime() override { m_printer.oneClientAtATime = true; }

private:
    FakeNetworkPrinter m_printer;
};

class TerminalPrinter : public Printer {
public:
    std::string where() const override { return m_printer.device; }
    void setLevel(bool high) override
    {
        m_level = high ? 0x16 : 0x12;
        if (m_printer.answer != PtyPrinter::Silent)
            m_printer.answer = m_level;
    }
    void setAnswering(bool answering) override
    {
        m_printer.answer = answering ? m_level : PtyPrinter::Silent;
    }
    std::vector<std::uint8_t> received() const override { return m_printer.received(); }
    int requests() const override { return m_printer.statusRequests(); }
    void vanish() override { m_printer.vanish(); }
    bool comeBack() override { return false; } // a new terminal would have a new name
    // An answer with the drawer-open bit but not the status pattern.
    void sendGarbage() override { m_printer.answer = (m_level | 0x04) | 0x80; }
    std::string speed() const override
    {
        termios port {};
        if (::tcgetattr(m_printer.master(), &port) != 0)
            return "unknown";
        static const std::pair<speed_t, int> speeds[]
            = {{B300, 300}, {B600, 600}, {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600},
                {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
        for (const auto &[code, baud] : speeds)
            if (::cfgetospeed(&port) == code)
                return std::to_string(baud);
        return "other";
    }

private:
    PtyPrinter m_printer;
    int m_level = 0x12;
};

std::string hex(const std::vector<std::uint8_t> &bytes, std::size_t from, std::size_t to)
{
    std::string text;
    char digits[4];
    for (std::size_t i = from; i < to && i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += (text.empty() ? "" : " ") + std::string(digits);
    }
    return text;
}

void say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    bool pty = false;
    bool openHigh = true;
    bool hasSwitch = true;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--pty") {
            pty = true;
        } else if (option == "--open-low") {
            openHigh = false;
        } else if (option == "--no-switch") {
            hasSwitch = false;
        } else {
            std::fprintf(stderr,
                "usage: fake-printer [--pty] [--open-low] [--no-switch]\n"
                "  --pty        on a pseudo-terminal instead of 127.0.0.1\n"
                "  --open-low   the drawer switch reads low while open (high by default)\n"
                "  --no-switch  the drawer has no switch: the level stays low\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = onToggle;
    ::sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = onStop;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);

    std::unique_ptr<Printer> printer;
    if (pty)
        printer = std::make_unique<TerminalPrinter>();
    else
        printer = std::make_unique<NetworkPrinter>();
    if (printer->where().empty()) {
        std::fprintf(stderr, "fake-printer: cannot make a pseudo-terminal\n");
        return 1;
    }
    bool open = false;
    const auto move = [&](bool opened) {
        open = opened;
        const bool high = hasSwitch && (open == openHigh);
        printer->setLevel(high);
        say(std::string(open ? "drawer open" : "drawer closed") + " (sensor "
            + (high ? "high" : "low") + ")");
    };
    say(printer->where());
    move(false);

    std::size_t scanned = 0; // received bytes already looked at for kicks
    int kicks = 0;
    std::string line;
    bool reading = true;
    while (!stopRequested) {
        // Kicks: ESC p m t1 t2, whole.
        const auto bytes = printer->received();
        for (; scanned + 5 <= bytes.size(); ++scanned) {
            if (bytes[scanned] != 0x1B || bytes[scanned + 1] != 0x70)
                continue;
            ++kicks;
            say("kick " + hex(bytes, scanned, scanned + 5));
            if (!open)
                move(true);
            scanned += 4;
        }
        if (toggleRequested) {
            toggleRequested = 0;
            move(!open);
        }

        pollfd input {STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, reading ? 1 : 0, 20) <= 0)
            continue;
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            reading = false; // no more commands; serve until a signal
            continue;
        }
        if (c != '\n') {
            if (line.size() < 64)
                line += c;
            continue;
        }
        const std::string command = line;
        line.clear();
        if (command == "open" || command == "close") {
            move(command == "open");
        } else if (command == "silent" || command == "answer") {
            printer->setAnswering(command == "answer");
            say(command == "answer" ? "answering" : "silent");
        } else if (command == "vanish") {
            printer->vanish();
            say("gone");
        } else if (command == "back") {
            say(printer->comeBack() ? "back" : "cannot come back");
        } else if (command == "garbage") {
            printer->sendGarbage();
            say("garbage");
        } else if (command == "one-at-a-time") {
            printer->serveOneAtATime();
            say("one at a time");
        } else if (command == "speed") {
            say("speed " + printer->speed());
        } else if (command == "kicks") {
            say("kicks " + std::to_string(kicks));
        } else if (command == "requests") {
            say("requests " + std::to_string(printer->requests()));
        } else if (command == "received") {
            const auto all = printer->received();
            say("received " + hex(all, 0, all.size()));
        } else if (command == "quit") {
            break;
        } else {
            say("unknown command '" + command + "'");
        }
    }
    return 0;
}
