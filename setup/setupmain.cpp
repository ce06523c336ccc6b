// kestrin-drawer-setup: finds a cash drawer's device, checks it, fires the
// drawer, and writes its section of the drawer library's configuration.
#include "setup.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <exception>

#include <unistd.h>

namespace drawerdriver::setup {

namespace {

std::string invokedAs = "kestrin-drawer-setup";

void printHelp(std::FILE *to)
{
    std::fprintf(to,
        "Usage: kestrin-drawer-setup COMMAND [ARGUMENTS]\n"
        "\n"
        "Sets up the cash drawers of the Kestrin drawer library: finds their devices,\n"
        "checks them, fires them, and writes the configuration file.\n"
        "\n"
        "Commands:\n"
        "  detect                       list USB printers, serial ports and HID devices:\n"
        "                               the path to configure, access, and who holds them\n"
        "  detect --network HOST[:PORT] ask one network printer for its status once\n"
        "                               (port 9100 unless given); no network is scanned\n"
        "  probe N                      ask drawer N's device for its status five times\n"
        "                               and say what it answered\n"
        "  probe DEVICE [--protocol P] [KEY=VALUE...]\n"
        "                               the same for a device not configured yet\n"
        "  kick N                       fire drawer N once; show its sensor before and after\n"
        "  polarity N                   find drawer N's sensor polarity, step by step, and\n"
        "                               write it\n"
        "  set N KEY=VALUE...           change drawer N's section; KEY= takes a key out\n"
        "  set service KEY=VALUE...     change the [service] section (keep-days=DAYS,\n"
        "                               keep-megabytes=MB, metrics-dir=FOLDER)\n"
        "  remove N                     take drawer N's section out\n"
        "  allow USER                   let USER open drawers through the drawer service\n"
        "  metrics on|off               link the drawer service's metrics file into the\n"
        "                               folder node-exporter reads (metrics-dir), or\n"
        "                               take the link out\n"
        "  printer N QUEUE              point the print queue QUEUE at drawer N's printer\n"
        "                               through the drawer service, keeping its driver,\n"
        "                               or make a raw queue of that name (CUPS's lpadmin)\n"
        "  help                         this text\n"
        "\n"
        "N is the drawer's number, 1 (\"Drawer #1\") to 8. DEVICE is a device path or\n"
        "tcp://HOST[:PORT]. The keys are those of drawers.conf(5); quote a value with\n"
        "a blank in it: kick='1B 07'.\n"
        "\n"
        "Configuration file: %s\n"
        "(KESTRIN_DRAWERS_CONF names another; run as root, the tool writes only a file\n"
        "that root owns and no one else may change, and never through a link)\n"
        "\n"
        "Exit status:\n"
        "  0  done; the device answered\n"
        "  1  the device did not answer, a check failed, or the file was not written\n"
        "  2  the command line is wrong, or the section would not take the setting\n"
        "  3  permission denied, or a file root may not safely write: the message says\n"
        "     what to do\n"
        "  4  the device is busy: another process holds it\n"
        "  5  not found: no such device or host, or no device detected\n"
        "  6  the drawer is not configured\n",
        drawerConfigPath().c_str());
}

} // namespace

void tell(const std::string &message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "kestrin-drawer-setup: %s\n", printable(message).c_str());
}

std::string toolCommand()
{
    // Found on the path: the same name works again. Otherwise the full
    // path of the program, which sudo finds wherever the user is, quoted as
    // any word the user copies.
    if (invokedAs.find('/') == std::string::npos)
        return shellQuoted(invokedAs);
    char path[PATH_MAX] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return shellQuoted(length > 0 ? std::string(path, std::size_t(length)) : invokedAs);
}

std::string shellQuoted(const std::string &word)
{
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || std::string_view("_./:=@%+,-").find(c) != std::string_view::npos;
    });
    if (plain)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string withSudo(const Arguments &toolArguments)
{
    std::string command = "sudo ";
    // sudo starts from a clean environment: the file must be named again.
    if (const char *named = std::getenv("KESTRIN_DRAWERS_CONF"); named && *named)
        command.append("env KESTRIN_DRAWERS_CONF=").append(shellQuoted(named)).append(" ");
    command += toolCommand();
    for (const std::string &argument : toolArguments)
        command.append(" ").append(shellQuoted(argument));
    return command;
}

} // namespace drawerdriver::setup

int main(int argc, char **argv)
{
    using namespace drawerdriver::setup;
    // A closed pipe or connection is an error to report, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 0 && argv[0] && *argv[0])
        invokedAs = argv[0];
    if (argc < 2) {
        printHelp(stderr);
        return Usage;
    }
    const std::string command = argv[1];
    const Arguments arguments(argv + 2, argv + argc);
    if (command == "help" || command == "--help" || command == "-h") {
        printHelp(stdout);
        return Done;
    }
    try {
        if (command == "detect")
            return detect(arguments);
        if (command == "probe")
            return probe(arguments);
        if (command == "kick")
            return kick(arguments);
        if (command == "polarity")
            return polarity(arguments);
        if (command == "set")
            return set(arguments);
        if (command == "remove")
            return remove(arguments);
        if (command == "allow")
            return allow(arguments);
        if (command == "metrics")
            return metrics(arguments);
        if (command == "printer")
            return printer(arguments);
    } catch (const std::exception &failure) {
        tell(std::string("failed: ") + failure.what());
        return NoAnswer;
    }
    tell("unknown command '" + command + "'; kestrin-drawer-setup --help lists the commands");
    return Usage;
}
