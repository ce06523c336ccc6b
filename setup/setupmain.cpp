// kestrin-drawer-setup: finds a cash drawer's device, checks it, fires the
// drawer, and writes its section of the drawer library's configuration.
// Each platform's main, in its own file, hands the command line to runTool.
#include "setup.h"

#include <cstdarg>
#include <cstdio>
#include <exception>

namespace drawerdriver::setup {

namespace {

std::string helpText()
{
    return std::string(
               "Usage: kestrin-drawer-setup COMMAND [ARGUMENTS]\n"
               "\n"
               "Sets up the cash drawers of the Kestrin drawer library: finds their devices,\n"
               "checks them, fires them, and writes the configuration file.\n"
               "\n"
               "Commands:\n")
        + "  detect                       list the devices a drawer may hang on: the name to\n"
          "                               configure, access, and who holds them\n"
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
        + PlatformCommandsHelp
        + "  remove N                     take drawer N's section out\n"
          "  help                         this text\n"
          "\n"
          "N is the drawer's number, 1 (\"Drawer #1\") to 8. "
        + DeviceHelp
        + " The keys are those of drawers.conf(5); quote a value with\n"
          "a blank in it: kick='1B 07'.\n"
          "\n"
          "Configuration file: "
        + drawerConfigPath() + "\n" + FileHelp
        + "\n"
          "Exit status:\n"
          "  0  done; the device answered\n"
          "  1  the device did not answer, a check failed, or the file was not written\n"
          "  2  the command line is wrong, or the section would not take the setting\n"
          "  3  permission denied, or a file the tool may not safely write: the message\n"
          "     says what to do\n"
          "  4  the device is busy: another process holds it\n"
          "  5  not found: no such device or host, or no device detected\n"
          "  6  the drawer is not configured\n";
}

int runCommand(const std::string &command, const Arguments &arguments)
{
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
    if (const int status = platformCommand(command, arguments); status >= 0)
        return status;
    tell("unknown command '" + command + "'; kestrin-drawer-setup --help lists the commands");
    return Usage;
}

} // namespace

void say(const char *format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(std::size_t(length > 0 ? length : 0), '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    sayText(text);
}

void tell(const std::string &message)
{
    std::fflush(stdout);
    sayError("kestrin-drawer-setup: " + printable(message) + "\n");
}

int runTool(const Arguments &arguments)
{
    if (arguments.empty()) {
        sayError(helpText());
        return Usage;
    }
    const std::string &command = arguments.front();
    if (command == "help" || command == "--help" || command == "-h") {
        sayText(helpText());
        return Done;
    }
    try {
        return runCommand(command, Arguments(arguments.begin() + 1, arguments.end()));
    } catch (const std::exception &failure) {
        tell(std::string("failed: ") + failure.what());
        return NoAnswer;
    }
}

} // namespace drawerdriver::setup
