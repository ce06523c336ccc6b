// kestrin-drawer-setup printer N QUEUE: points a print queue at drawer N's
// printer through the drawer service (the spooler's device URI kestrin:/N),
// keeping the queue's driver, or makes a raw queue of that name. The
// spooler's own tools do the work: lpstat asks, lpadmin changes.
#include "setup_posix.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace drawerdriver::setup {

namespace {

// How long one of the spooler's tools may take: a scheduler that does not
// answer is not waited for.
constexpr int ToolTimeoutMs = 30'000;

struct ProgramRun {
    bool found = true; // false: the tool is not installed
    int exit = -1; // its exit status, or -1 where it did not end by itself
    std::string output; // standard output and error together
};

// Runs one of the spooler's command-line tools, its input empty; in the C
// locale where its words are read.
ProgramRun runProgram(const std::vector<std::string> &command, bool cLocale = false)
{
    std::vector<char *> environment;
    for (char **variable = environ; *variable; ++variable)
        if (!cLocale || std::strncmp(*variable, "LC_ALL=", 7) != 0)
            environment.push_back(*variable);
    char plainLocale[] = "LC_ALL=C";
    if (cLocale)
        environment.push_back(plainLocale);
    environment.push_back(nullptr);
    ProgramRun run;
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    std::vector<char *> argv;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned
        = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (spawned != 0) {
        run.found = spawned != ENOENT;
        run.output = std::strerror(spawned);
        ::close(pipeEnds[0]);
        return run;
    }
    pollfd ready {pipeEnds[0], POLLIN, 0};
    char buffer[4096];
    bool ended = false; // its output closed: it is ending
    while (!ended && ::poll(&ready, 1, ToolTimeoutMs) > 0) {
        const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
        ended = got <= 0;
        if (got > 0)
            run.output.append(buffer, std::size_t(got));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    if (!ended) {
        ::kill(pid, SIGKILL);
        run.output += "(no answer within 30 s)";
    }
    ::waitpid(pid, &status, 0);
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    while (!run.output.empty() && run.output.back() == '\n')
        run.output.pop_back();
    return run;
}

// A queue name as the spooler takes it: printable, without blanks, / or #.
bool validQueueName(const std::string &name)
{
    return !name.empty() && name.size() <= 127 && std::all_of(name.begin(), name.end(), [](char c) {
        return c > ' ' && c != 0x7F && c != '/' && c != '#' && c != '\\' && c != '"' && c != '\'';
    });
}

int cupsMissing(const std::string &tool)
{
    tell(tool + " is not installed: the print spooler's tools come with CUPS.\n"
        + "Install it with: sudo apt install cups");
    return NotFound;
}

// The driver's options that open a drawer, as lpoptions lists them: one
// line each, such as "CashDrawer/Cash drawer: *Off Before After".
std::vector<std::string> drawerOptions(const std::string &queue)
{
    std::vector<std::string> found;
    const ProgramRun run = runProgram({"lpoptions", "-p", queue, "-l"});
    std::size_t at = 0;
    while (run.exit == 0 && at < run.output.size()) {
        const std::size_t end = std::min(run.output.find('\n', at), run.output.size());
        std::string line = run.output.substr(at, end - at);
        at = end + 1;
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        if (lower.substr(0, lower.find(':')).find("drawer") != std::string::npos)
            found.push_back(line);
    }
    return found;
}

} // namespace

int printer(const Arguments &arguments)
{
    if (arguments.size() != 2) {
        tell("printer takes a drawer and a print queue: such as\n  " + toolCommand()
            + " printer 1 receipts");
        return Usage;
    }
    const int drawer = drawerNumber(arguments[0]);
    const std::string &queue = arguments[1];
    if (drawer == 0) {
        tell("'" + arguments[0] + "' is no drawer number: give 1 to 8");
        return Usage;
    }
    if (!validQueueName(queue)) {
        tell("'" + printable(queue) + "' is no print queue name: letters, digits and "
            + "punctuation, without blanks, /, \\, # or quotes");
        return Usage;
    }
    DrawerSettings settings;
    if (const int refused = loadDrawer(drawer, settings); refused != Done)
        return refused;
    if (settings.protocol == Protocol::Hid || settings.protocol == Protocol::Trigger) {
        tell("drawer " + std::to_string(drawer) + " is " + describe(settings)
            + ": no receipt printer to print on");
        return Usage;
    }

    const ProgramRun scheduler = runProgram({"lpstat", "-r"}, true);
    if (!scheduler.found)
        return cupsMissing("lpstat");
    if (scheduler.output != "scheduler is running") {
        tell("the print spooler (CUPS) is not running: " + printable(scheduler.output)
            + "\nStart it with: sudo systemctl start cups");
        return NoAnswer;
    }
    const bool exists = runProgram({"lpstat", "-v", queue}).exit == 0;
    const std::string uri = "kestrin:/" + std::to_string(drawer);
    // An existing queue keeps its driver and its state; a new one is raw,
    // taking the point-of-sale program's printer language as it is, and is
    // enabled and accepting jobs at once.
    std::vector<std::string> command = {"lpadmin", "-p", queue, "-v", uri};
    if (!exists)
        command.push_back("-E");
    const ProgramRun changed = runProgram(command);
    if (!changed.found)
        return cupsMissing("lpadmin");
    if (changed.exit != 0) {
        tell("lpadmin could not " + std::string(exists ? "change" : "make") + " the queue " + queue
            + ": " + printable(changed.output)
            + (::geteuid() != 0
                    ? "\nRun this instead:\n  " + withSudo({"printer", arguments[0], queue})
                    : std::string()));
        return ::geteuid() != 0 ? Permission : NoAnswer;
    }
    if (exists)
        std::printf("The queue %s now prints on drawer %d's printer through the drawer service "
                    "(%s), with its driver as it was.\n",
            queue.c_str(), drawer, uri.c_str());
    else
        std::printf("Made the raw queue %s, printing on drawer %d's printer through the drawer "
                    "service (%s).\n",
            queue.c_str(), drawer, uri.c_str());
    const std::vector<std::string> options = drawerOptions(queue);
    if (!options.empty()) {
        std::printf("Its driver can open the drawer itself, with:\n");
        for (const std::string &option : options)
            std::printf("  %s\n", printable(option).c_str());
        std::printf("Switch that off with lpadmin -p %s -o OPTION=VALUE, or leave it: the drawer "
                    "service records those kicks too.\n",
            queue.c_str());
    }
    return Done;
}

} // namespace drawerdriver::setup
