// The setup tool's main on POSIX: the command line as it comes, output
// through stdio, sudo for what needs root, and the commands only the
// Linux system has (allow, metrics, printer).
#include "setup_posix.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>

#include <poll.h>
#include <unistd.h>

namespace drawerdriver::setup {

namespace {

std::string invokedAs = "kestrin-drawer-setup";

// The longest the tool waits for the user to press Enter.
constexpr std::chrono::minutes EnterLimit {10};

} // namespace

const char *const PlatformCommandsHelp
    = "  set service KEY=VALUE...     change the [service] section (keep-days=DAYS,\n"
      "                               keep-megabytes=MB, metrics-dir=FOLDER)\n"
      "  allow USER                   let USER open drawers through the drawer service\n"
      "  metrics on|off               link the drawer service's metrics file into the\n"
      "                               folder node-exporter reads (metrics-dir), or\n"
      "                               take the link out\n"
      "  printer N QUEUE              point the print queue QUEUE at drawer N's printer\n"
      "                               through the drawer service, keeping its driver,\n"
      "                               or make a raw queue of that name (CUPS's lpadmin)\n";
const char *const DeviceHelp = "DEVICE is a device path or\ntcp://HOST[:PORT].";
const char *const FileHelp
    = "(KESTRIN_DRAWERS_CONF names another; run as root, the tool writes only a file\n"
      "that root owns and no one else may change, and never through a link)\n";

int platformCommand(const std::string &command, const Arguments &arguments)
{
    if (command == "allow")
        return allow(arguments);
    if (command == "metrics")
        return metrics(arguments);
    if (command == "printer")
        return printer(arguments);
    return -1;
}

void sayText(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void sayError(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
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

std::string asAdministrator(const Arguments &toolArguments)
{
    return "Run this instead:\n  " + withSudo(toolArguments);
}

bool waitForEnter()
{
    std::fflush(stdout);
    const auto deadline = Clock::now() + EnterLimit;
    while (Clock::now() < deadline) {
        if (!waitFor(STDIN_FILENO, POLLIN, deadline).ready())
            break;
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0) {
            tell("standard input ended before Enter was pressed: nothing was written");
            return false;
        }
        if (c == '\n')
            return true;
    }
    tell("Enter was not pressed within 10 minutes: nothing was written");
    return false;
}

} // namespace drawerdriver::setup

int main(int argc, char **argv)
{
    using namespace drawerdriver::setup;
    // A closed pipe or connection is an error to report, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 0 && argv[0] && *argv[0])
        invokedAs = argv[0];
    return runTool(Arguments(argv + std::min(argc, 1), argv + argc));
}
