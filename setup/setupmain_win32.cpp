// The setup tool's main on Windows, a console program: the command line in
// UTF-16 made UTF-8, output in the console's own characters or, through a
// pipe or into a file, as UTF-8 bytes, and a Command Prompt opened as
// administrator for what needs one.
#include "setup_win32.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include <windows.h>

namespace drawerdriver::setup {

namespace {

std::string invokedAs = "kestrin-drawer-setup";

// The longest the tool waits for the user to press Enter.
constexpr std::chrono::minutes EnterLimit {10};

// WriteConsoleW shows nothing when the handle is a pipe or a file: there
// the bytes are written as they are.
void writeTo(DWORD which, const std::string &text)
{
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        const std::wstring wide = widen(text);
        for (std::size_t done = 0; done < wide.size();) {
            DWORD wrote = 0;
            const DWORD chunk = DWORD(std::min<std::size_t>(wide.size() - done, 16384));
            if (!WriteConsoleW(handle, wide.data() + done, chunk, &wrote, nullptr) || wrote == 0)
                return;
            done += wrote;
        }
        return;
    }
    for (std::size_t done = 0; done < text.size();) {
        DWORD wrote = 0;
        const DWORD chunk = DWORD(std::min<std::size_t>(text.size() - done, 65536));
        if (!WriteFile(handle, text.data() + done, chunk, &wrote, nullptr) || wrote == 0)
            return;
        done += wrote;
    }
}

bool isPlainWord(const std::string &word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || std::string_view("_.\\/:=@+,-").find(c) != std::string_view::npos;
    });
}

} // namespace

const char *const PlatformCommandsHelp = "";
const char *const FileHelp
    = "(KESTRIN_DRAWERS_CONF names another; changing the file in ProgramData needs a\n"
      "Command Prompt opened as administrator, which writes no file through a link)\n";
const char *const DeviceHelp = "DEVICE is COMn, printer:QUEUE NAME,\n"
                               "usb:VID:PID[:SERIAL], hid:VID:PID or tcp://HOST[:PORT].";

int platformCommand(const std::string &command, const Arguments &)
{
    if (command != "allow" && command != "metrics")
        return -1;
    tell(command + " is for the Linux drawer service, which Windows does not have");
    return Usage;
}

void sayText(const std::string &text)
{
    std::fflush(stdout);
    writeTo(STD_OUTPUT_HANDLE, text);
}

void sayError(const std::string &text)
{
    std::fflush(stderr);
    writeTo(STD_ERROR_HANDLE, text);
}

bool isElevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation {};
    DWORD size = 0;
    const bool elevated
        = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)
        && elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

std::string toolCommand()
{
    // Typed by its name, found on the path: the same name works again.
    // Otherwise the program's full path.
    if (invokedAs.find_first_of("\\/") == std::string::npos)
        return shellQuoted(invokedAs);
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length == 0)
            return shellQuoted(invokedAs);
        if (length < path.size()) {
            path.resize(length);
            return shellQuoted(narrow(path));
        }
        path.resize(path.size() * 2);
    }
}

// Quoted as the C runtime splits a command line: a word with blanks in
// double quotes, a double quote in it escaped with a backslash.
std::string shellQuoted(const std::string &word)
{
    if (isPlainWord(word))
        return word;
    std::string quoted = "\"";
    for (char c : word)
        quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    return quoted + "\"";
}

std::string asAdministrator(const Arguments &toolArguments)
{
    std::string command;
    // An elevated Command Prompt starts from the system's environment: the
    // file must be named again.
    if (const std::string path = drawerConfigPath(); path != defaultDrawerConfigPath())
        command.append("set KESTRIN_DRAWERS_CONF=").append(path).append("\n  ");
    command += toolCommand();
    for (const std::string &argument : toolArguments)
        command.append(" ").append(shellQuoted(argument));
    return "Run this in a Command Prompt opened as administrator (right-click Command Prompt, "
           "Run as administrator):\n  "
        + command;
}

// Standard input is read on a thread of its own, so that the wait has a
// limit whatever it is: a console, a pipe or a file.
bool waitForEnter()
{
    std::fflush(stdout);
    struct Line {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool entered = false;
    };
    const auto line = std::make_shared<Line>();
    std::thread([line] {
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        bool entered = false;
        for (;;) {
            char c = 0;
            DWORD got = 0;
            if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0)
                break;
            if (c == '\n') {
                entered = true;
                break;
            }
        }
        std::lock_guard guard(line->mutex);
        line->entered = entered;
        line->finished = true;
        line->done.notify_all();
    }).detach();
    std::unique_lock lock(line->mutex);
    if (!line->done.wait_for(lock, EnterLimit, [&] { return line->finished; })) {
        tell("Enter was not pressed within 10 minutes: nothing was written");
        return false;
    }
    if (!line->entered)
        tell("standard input ended before Enter was pressed: nothing was written");
    return line->entered;
}

} // namespace drawerdriver::setup

int wmain(int argc, wchar_t **argv)
{
    using namespace drawerdriver::setup;
    Arguments arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(drawerdriver::narrow(argv[i]));
    if (argc > 0 && argv[0] && *argv[0])
        invokedAs = drawerdriver::narrow(argv[0]);
    const int status = runTool(arguments);
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}
