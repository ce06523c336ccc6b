// The Win32 drawer window driven from outside, as a user or a tool would:
// the program runs in a job of its own on the simulated drawers (or on a
// test library), its windows are found by class and caption, driven by
// messages and keys, and judged by the library calls in the simulator's
// trace and by what is on the screen.

#include "simstate.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const std::string &what)
{
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

// Polls condition until it holds, for at most 20 s.
bool waitFor(const std::function<bool()> &condition)
{
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (!condition()) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(10);
    }
    return true;
}

std::wstring folderOf(const std::wstring &path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

// This program is in <build>\tests; the program under test in <build>\bin.
const std::wstring testDir = [] {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return folderOf(path);
}();
const std::wstring binDir = folderOf(testDir) + L"\\bin";
const std::wstring workDir = testDir + L"\\tst_win32window";
const std::wstring statePath = workDir + L"\\sim.state";

std::string utf8(const std::wstring &text)
{
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(),
            static_cast<int>(bytes.size()), nullptr, nullptr)));
    return bytes;
}

std::string readFile(const std::wstring &path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The library calls so far, one "Function argument result" a line.
std::string trace()
{
    std::istringstream lines(readFile(statePath + L".trace"));
    std::string line, calls;
    while (std::getline(lines, line))
        calls += line.substr(line.find(' ') + 1) + '\n';
    return calls;
}

int count(const std::string &text, const std::string &what)
{
    int found = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++found;
    return found;
}

// Fresh simulated drawers, traced, opened drawers staying open.
void prepareDrawers(const std::function<void(sim::State &)> &change)
{
    sim::State state = sim::State::defaults();
    state.trace = true;
    state.autoCloseSeconds = 0;
    change(state);
    sim::LockedState file(utf8(statePath), 2000);
    check(file.store(state), "the simulated drawers' state could not be written");
    DeleteFileW((statePath + L".trace").c_str());
}

std::wstring text(HWND window)
{
    wchar_t buffer[256] {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(
        window, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &length);
    return buffer;
}

// A visible top-level window of the process, by its caption (a dialog box
// when dialog is set).
HWND topWindow(DWORD pid, const wchar_t *caption, bool dialog = false)
{
    struct Match {
        DWORD pid;
        const wchar_t *caption;
        bool dialog;
        HWND found = nullptr;
    } match {pid, caption, dialog};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto &m = *reinterpret_cast<Match *>(data);
            DWORD owner = 0;
            wchar_t className[64] {};
            GetWindowThreadProcessId(window, &owner);
            GetClassNameW(window, className, 64);
            const bool isDialog = std::wstring(className) == L"#32770";
            if (owner == m.pid && IsWindowVisible(window) && isDialog == m.dialog
                && text(window) == m.caption)
                m.found = window;
            return !m.found;
        },
        reinterpret_cast<LPARAM>(&match));
    return match.found;
}

// The program, in a job that ends it should this test end first.
class Program {
public:
    explicit Program(const std::wstring &exe, const std::wstring &folder = L"")
    {
        m_job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW startup {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process {};
        check(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                  CREATE_SUSPENDED, nullptr, folder.empty() ? nullptr : folder.c_str(), &startup,
                  &process),
            "the program could not be started");
        AssignProcessToJobObject(m_job, process.hProcess);
        ResumeThread(process.hThread);
        CloseHandle(process.hThread);
        m_process = process.hProcess;
        m_pid = process.dwProcessId;
    }
    ~Program()
    {
        TerminateJobObject(m_job, 1);
        CloseHandle(m_process);
        CloseHandle(m_job);
    }
    DWORD pid() const { return m_pid; }
    HWND window(const wchar_t *caption = L"Kestrin Cash Drawer USB Controller") const
    {
        HWND found = nullptr;
        waitFor([&] { return (found = topWindow(m_pid, caption)) != nullptr; });
        return found;
    }
    // Its exit code, once it has ended; -1 if it does not within 20 s.
    int exitCode() const
    {
        DWORD code = 0;
        if (WaitForSingleObject(m_process, 20000) != WAIT_OBJECT_0)
            return -1;
        GetExitCodeProcess(m_process, &code);
        return static_cast<int>(code);
    }

private:
    HANDLE m_job = nullptr;
    HANDLE m_process = nullptr;
    DWORD m_pid = 0;
};

HWND child(HWND parent, const wchar_t *className, const wchar_t *caption)
{
    return FindWindowExW(parent, nullptr, className, caption);
}

// The screen's pixels under a window: another process's window DC gives
// nothing, the screen's does.
std::vector<COLORREF> pixelsOf(HWND window)
{
    RECT rect {};
    GetClientRect(window, &rect);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT *>(&rect), 2);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    std::vector<COLORREF> pixels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels.push_back(GetPixel(memory, x, y));
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

bool allPixels(HWND window, COLORREF colour)
{
    const auto pixels = pixelsOf(window);
    return !pixels.empty()
        && std::all_of(pixels.begin(), pixels.end(), [&](COLORREF p) { return p == colour; });
}

bool anyPixel(HWND window, COLORREF colour)
{
    const auto pixels = pixelsOf(window);
    return std::find(pixels.begin(), pixels.end(), colour) != pixels.end();
}

// The indicator: the one owner-drawn static control.
HWND indicator(HWND main)
{
    for (HWND c = GetWindow(main, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if ((GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_OWNERDRAW)
            return c;
    }
    return nullptr;
}

struct Display {
    const wchar_t *status;
    COLORREF statusColour;
    const wchar_t *label2;
    COLORREF indicatorColour;
    bool commandsEnabled;
};
constexpr COLORREF Red = RGB(255, 0, 0), Green = RGB(0, 255, 0), Black = RGB(0, 0, 0);
constexpr Display Disconnected {L"USB Device NOT Connected!", Red, L"Offline", Black, false};
constexpr Display Closed {L"USB Device Connected", Green, L"Closed", Red, true};
constexpr Display Opened {L"USB Device Connected", Green, L"Open", Green, true};

bool shows(HWND main, const Display &display)
{
    HWND status = child(main, L"Static", display.status);
    return status && child(main, L"Static", display.label2)
        && anyPixel(status, display.statusColour)
        && allPixels(indicator(main), display.indicatorColour)
        && IsWindowEnabled(child(main, L"Button", L"Open Cash Drawer")) == display.commandsEnabled
        && IsWindowEnabled(child(main, L"Button", L"Cash Drawer Status"))
        == display.commandsEnabled;
}

void click(HWND main, const wchar_t *caption)
{
    PostMessageW(child(main, L"Button", caption), BM_CLICK, 0, 0);
}

void pressKeys(std::initializer_list<WORD> keys)
{
    std::vector<INPUT> inputs;
    for (WORD key : keys)
        inputs.push_back({INPUT_KEYBOARD, {.ki = {key, 0, 0, 0, 0}}});
    for (auto key = std::rbegin(keys); key != std::rend(keys); ++key)
        inputs.push_back({INPUT_KEYBOARD, {.ki = {*key, 0, KEYEVENTF_KEYUP, 0, 0}}});
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// Chooses a menu-bar item by its access key, as Alt and the letter do.
void menuKey(HWND main, wchar_t letter)
{
    PostMessageW(main, WM_SYSCOMMAND, SC_KEYMENU, letter);
}

void waitConnected(HWND main)
{
    check(waitFor([&] { return shows(main, Closed); }), "the window never showed the drawer");
}

bool traceHas(const char *pattern)
{
    return std::regex_search(trace(), std::regex(pattern));
}

struct ConversationCase {
    const char *name;
    void (*prepare)(sim::State &);
    void (*act)(const Program &, HWND main);
    const char *calls; // the trace from its start
    const Display *display;
};

void noChange(sim::State &) { }
void waitForTicks(const Program &, HWND)
{
    waitFor([] { return count(trace(), "\n") >= 6; });
}

const ConversationCase ConversationCases[] = {
    {"no device", [](sim::State &s) { s.drawers[0].plugged = s.drawers[1].plugged = false; },
        waitForTicks, R"(^(GetDrawerHandle 0 0\nReleaseDrawerHandle 0 -\n){3})", &Disconnected},
    {"a closed drawer", noChange, waitForTicks,
        R"(^GetDrawerHandle 0 (\d+)\n(GetDrawerStatus \1 1\n){5})", &Closed},
    {"an open drawer", [](sim::State &s) { s.drawers[0].open = true; }, waitForTicks,
        R"(^GetDrawerHandle 0 (\d+)\n(GetDrawerStatus \1 2\n){5})", &Opened},
    {"a device that does not answer", [](sim::State &s) { s.drawers[0].muted = true; },
        waitForTicks,
        R"(^(GetDrawerHandle 0 (\d+)\nGetDrawerStatus \2 0\nReleaseDrawerHandle \2 -\n){2})",
        &Disconnected},
    {"Open Cash Drawer", noChange,
        [](const Program &, HWND main) {
            waitConnected(main);
            click(main, L"Open Cash Drawer");
        },
        R"(\nOpenDrawer (\d+) 1\nGetDrawerStatus \1 2\n)", &Opened},
    {"Ctrl+O", noChange,
        [](const Program &, HWND main) {
            waitConnected(main);
            SetForegroundWindow(main);
            pressKeys({VK_CONTROL, 'O'});
        },
        R"(\nOpenDrawer (\d+) 1\nGetDrawerStatus \1 2\n)", &Opened},
    {"Drawer #3", noChange,
        [](const Program &, HWND main) {
            waitConnected(main);
            click(main, L"Drawer #3");
        },
        R"(\nGetDrawerStatus (\d+) 1\nReleaseDrawerHandle \1 -\nGetDrawerHandle 2 0\nReleaseDrawerHandle 0 -\nGetDrawerHandle 2 0\n)",
        &Disconnected},
};

void testConversations()
{
    for (const ConversationCase &row : ConversationCases) {
        prepareDrawers(row.prepare);
        Program program(binDir + L"\\kestrin-drawer.exe");
        HWND main = program.window();
        row.act(program, main);
        check(waitFor([&] { return traceHas(row.calls); }),
            std::string(row.name) + ": the library calls were\n" + trace());
        check(waitFor([&] { return shows(main, *row.display); }),
            std::string(row.name) + ": the window does not show the right state");
    }
}

} // namespace

int wmain()
{
    CreateDirectoryW(workDir.c_str(), nullptr);
    SetEnvironmentVariableW(L"KESTRIN_SIM_STATE", statePath.c_str());
    testConversations();
    std::printf("%d failures\n", failures);
    return failures ? 1 : 0;
}
