// The Win32 drawer window driven from outside, as a user or a tool would:
// the program runs in a job of its own on the simulated drawers (or on a
// test library), its windows are found by class and caption, driven by
// messages and keys, and judged by the library calls in the simulator's
// trace and by what is on the screen.

#include "simstate.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

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
    for (const ULONGLONG deadline = GetTickCount64() + 20000; !condition(); Sleep(10)) {
        if (GetTickCount64() > deadline)
            return false;
    }
    return true;
}

// This program is in <build>\tests, the program under test in <build>\bin.
const fs::path testDir = [] {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}();
const fs::path binDir = testDir.parent_path() / "bin";
const fs::path workDir = testDir / "tst_win32window";
const fs::path statePath = workDir / "sim.state";
constexpr wchar_t Title[] = L"Kestrin Cash Drawer USB Controller";
constexpr wchar_t MainClass[] = L"KestrinDrawer.MainForm";

std::string readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string bytes = text.str();
    std::erase(bytes, '\r');
    return bytes;
}

// The library calls so far, one "Function argument result" a line.
std::string trace()
{
    std::istringstream lines(readFile(statePath.string() + ".trace"));
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

// The simulated drawers, traced, opened ones staying open; fresh ones
// (handles and trace too) unless the program is to keep its handle.
void changeDrawers(const std::function<void(sim::State &)> &change, bool fresh = false)
{
    sim::LockedState file(statePath.string(), 2000);
    sim::State state = fresh ? sim::State::defaults() : file.load();
    state.trace = true;
    state.autoCloseSeconds = 0;
    change(state);
    check(file.store(state), "the drawers' state could not be written");
    if (fresh)
        fs::remove(statePath.string() + ".trace");
}

HWND child(HWND parent, const wchar_t *className, const wchar_t *caption)
{
    return FindWindowExW(parent, nullptr, className, caption);
}

// The program, in a job that ends it should the test end first.
class Program {
public:
    explicit Program(const fs::path &exe, const fs::path &folder = {})
    {
        m_job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        STARTUPINFOW startup {};
        startup.cb = sizeof startup;
        std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
        check(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                  CREATE_SUSPENDED, nullptr, folder.empty() ? nullptr : folder.c_str(), &startup,
                  &m_process),
            "the program could not be started");
        AssignProcessToJobObject(m_job, m_process.hProcess);
        ResumeThread(m_process.hThread);
    }
    ~Program()
    {
        TerminateJobObject(m_job, 1);
        CloseHandle(m_process.hThread);
        CloseHandle(m_process.hProcess);
        CloseHandle(m_job);
    }
    // A visible top-level window of the program, once there is one.
    HWND window(const wchar_t *className = MainClass, const wchar_t *caption = Title) const
    {
        HWND found = nullptr;
        waitFor([&] {
            DWORD owner = 0;
            while ((found = FindWindowExW(nullptr, found, className, caption))) {
                GetWindowThreadProcessId(found, &owner);
                if (owner == m_process.dwProcessId && IsWindowVisible(found))
                    return true;
            }
            return false;
        });
        return found;
    }
    // Its exit code once it has ended, -1 if it does not within 20 s.
    int exitCode() const
    {
        DWORD code = 0;
        WaitForSingleObject(m_process.hProcess, 20000);
        GetExitCodeProcess(m_process.hProcess, &code);
        return code == STILL_ACTIVE ? -1 : static_cast<int>(code);
    }

private:
    HANDLE m_job = nullptr;
    PROCESS_INFORMATION m_process {};
};

// The screen's pixels under a window: another process's window DC gives
// nothing, the screen's does.
std::vector<COLORREF> pixels(HWND window)
{
    RECT rect {};
    GetClientRect(window, &rect);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT *>(&rect), 2);
    std::vector<COLORREF> seen;
    HDC screen = GetDC(nullptr);
    for (int y = rect.top; y < rect.bottom; y += 2) {
        for (int x = rect.left; x < rect.right; x += 2)
            seen.push_back(GetPixel(screen, x, y));
    }
    ReleaseDC(nullptr, screen);
    return seen;
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
    // The indicator is the one owner-drawn control.
    HWND shape = GetWindow(main, GW_CHILD);
    while (shape && (GetWindowLongW(shape, GWL_STYLE) & SS_TYPEMASK) != SS_OWNERDRAW)
        shape = GetWindow(shape, GW_HWNDNEXT);
    const auto indicator = pixels(shape), status = pixels(child(main, L"Static", display.status));
    return child(main, L"Static", display.label2) && !indicator.empty()
        && std::ranges::count(indicator, display.indicatorColour) == std::ssize(indicator)
        && std::ranges::count(status, display.statusColour) > 0
        && IsWindowEnabled(child(main, L"Button", L"Open Cash Drawer")) == display.commandsEnabled
        && IsWindowEnabled(child(main, L"Button", L"Cash Drawer Status"))
        == display.commandsEnabled;
}

void click(HWND main, const wchar_t *caption)
{
    PostMessageW(child(main, L"Button", caption), BM_CLICK, 0, 0);
}

void pressControlO(HWND main)
{
    SetForegroundWindow(main);
    INPUT keys[4] {};
    const WORD codes[4] = {VK_CONTROL, 'O', 'O', VK_CONTROL};
    for (int i = 0; i < 4; ++i)
        keys[i] = {INPUT_KEYBOARD, {.ki = {codes[i], 0, i < 2 ? 0u : KEYEVENTF_KEYUP, 0, 0}}};
    SendInput(4, keys, sizeof(INPUT));
}

// Chooses a menu-bar item by its access key, as Alt and the letter do.
void menuKey(HWND main, wchar_t letter)
{
    PostMessageW(main, WM_SYSCOMMAND, SC_KEYMENU, letter);
}

void setDrawer(bool sim::Drawer::*property, bool value)
{
    changeDrawers([&](sim::State &state) { state.drawers[0].*property = value; });
}

std::wstring caption(HWND window)
{
    wchar_t text[64] {};
    GetWindowTextW(window, text, 64);
    return text + std::wstring(L";");
}

// The order the arrow keys take through the drawer options; Tab enters
// their group at the selected one.
std::wstring arrowOrder(HWND main)
{
    std::wstring order;
    HWND option = child(main, L"Button", L"Drawer #8");
    for (int i = 0; i < 8; ++i, option = GetNextDlgGroupItem(main, option, FALSE))
        order += caption(option);
    return order;
}

// A step of one session: what is done, the library calls that follow (a
// search in those made since the step began) and what the window shows.
struct Step {
    const char *name;
    std::function<void(HWND main)> act;
    const char *calls;
    const Display &display;
};

const Step Steps[] = {
    {"no device", [](HWND) {}, R"(^(GetDrawerHandle 0 0\nReleaseDrawerHandle 0 -\n){3})",
        Disconnected},
    {"a drawer plugged in", [](HWND) { setDrawer(&sim::Drawer::plugged, true); },
        R"(GetDrawerHandle 0 (\d+)\n(GetDrawerStatus \1 1\n){3})", Closed},
    {"Ctrl+O", pressControlO, R"(OpenDrawer (\d+) 1\nGetDrawerStatus \1 2\n)", Opened},
    {"pushed shut", [](HWND) { setDrawer(&sim::Drawer::open, false); },
        R"(GetDrawerStatus \d+ 1\n)", Closed},
    {"Open Cash Drawer", [](HWND main) { click(main, L"Open Cash Drawer"); },
        R"(OpenDrawer (\d+) 1\nGetDrawerStatus \1 2\n)", Opened},
    {"a device that stops answering", [](HWND) { setDrawer(&sim::Drawer::muted, true); },
        R"(GetDrawerStatus (\d+) 0\nReleaseDrawerHandle \1 -\nGetDrawerHandle 0 (\d+)\n)",
        Disconnected},
    {"Drawer #3", [](HWND main) { click(main, L"Drawer #3"); },
        R"(\nGetDrawerHandle 2 0\nReleaseDrawerHandle 0 -\n)", Disconnected},
};

// "Help", "About", through the menu's own loop: the About window.
HWND openAbout(const Program &program, HWND main)
{
    menuKey(main, L'h');
    check(waitFor([] { return FindWindowW(L"#32768", nullptr) != nullptr; }), "no Help menu");
    PostMessageW(main, WM_CHAR, L'a', 0);
    return program.window(L"KestrinDrawer.AboutForm", L"About USB Cash Drawer Controller");
}

void testAbout(const Program &program, HWND main)
{
    HWND about = openAbout(program, main);
    HWND close = child(about, L"Button", L"&Close");
    check(about && !IsWindowEnabled(main), "About is not modal");
    PostMessageW(close, WM_KEYDOWN, VK_ESCAPE, 0);
    // Two more polls: the main window's timer goes on, and the program's
    // queue, Esc included, has been emptied, as ticks come only then.
    const auto calls = std::ranges::count(trace(), '\n');
    check(waitFor([&] { return std::ranges::count(trace(), '\n') >= calls + 2; }), "no polls");
    check(IsWindowVisible(about), "Esc closed About");
    // A click, the access key, Enter: each closes it, and "About" shows the
    // same window again.
    for (const auto &[message, key] :
        {std::pair {BM_CLICK, 0}, {WM_SYSCHAR, 'c'}, {WM_KEYDOWN, VK_RETURN}}) {
        PostMessageW(close, message, key, 0);
        check(waitFor([&] { return !IsWindowVisible(about) && IsWindowEnabled(main); }),
            "About did not close");
        check(openAbout(program, main) == about, "a second About window");
    }
}

void testSession()
{
    changeDrawers([](sim::State &s) { s.drawers[0].plugged = false; }, true);
    Program program(binDir / "kestrin-drawer.exe");
    HWND main = program.window();
    check(arrowOrder(main)
            == L"Drawer #8;Drawer #7;Drawer #6;Drawer #1;Drawer #2;Drawer #3;"
               L"Drawer #4;Drawer #5;",
        "the arrow keys go " + fs::path(arrowOrder(main)).string());
    for (const Step &step : Steps) {
        const std::size_t before = trace().size();
        step.act(main);
        const std::regex calls(step.calls);
        check(waitFor([&] { return std::regex_search(trace().substr(before), calls); }),
            std::string(step.name) + ": the library calls were\n" + trace().substr(before));
        check(waitFor([&] { return shows(main, step.display); }),
            std::string(step.name) + ": the window does not show it");
    }
    testAbout(program, main);
}

void endSession(HWND main, BOOL ending)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(
        main, WM_ENDSESSION, ending, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &result);
}

// Closing, "Exit" and the end of the session (with About up) each end the
// program, giving its handle back once: every handle handed out is released
// once, by the last call naming it. A log-off that was cancelled ends
// nothing. The programs run side by side: each takes seconds to end under
// Wine.
void testExits()
{
    const std::function<void(HWND)> ends[] = {
        [](HWND main) { PostMessageW(main, WM_CLOSE, 0, 0); },
        [](HWND main) { menuKey(main, L'e'); },
        [](HWND main) { endSession(main, TRUE); },
    };
    changeDrawers([](sim::State &) {}, true);
    std::vector<std::unique_ptr<Program>> programs;
    for (std::size_t i = 0; i < std::size(ends); ++i)
        programs.push_back(std::make_unique<Program>(binDir / "kestrin-drawer.exe"));
    for (std::size_t i = 0; i < std::size(ends); ++i) {
        HWND main = programs[i]->window();
        HWND open = child(main, L"Button", L"Open Cash Drawer");
        check(waitFor([&] { return IsWindowEnabled(open); }), "not connected");
        if (i == 2) {
            endSession(main, FALSE);
            click(main, L"Open Cash Drawer");
            check(waitFor([] { return trace().find("OpenDrawer") != std::string::npos; }),
                "a cancelled log-off ended the program");
            openAbout(*programs[i], main);
        }
        ends[i](main);
    }
    for (const auto &program : programs)
        check(program->exitCode() == 0, "not a clean exit");
    const std::string calls = trace();
    const std::regex handedOut(R"(GetDrawerHandle 0 (\d+)\n)");
    for (std::sregex_iterator at(calls.begin(), calls.end(), handedOut), end; at != end; ++at) {
        const std::string handle = (*at)[1].str();
        std::string release = "ReleaseDrawerHandle ", named = " ";
        release.append(handle).append(" -\n");
        named.append(handle).append(" ");
        const std::string after = calls.substr(calls.find(release) + release.size());
        check(count(calls, release) == 1 && after.find(named) == std::string::npos,
            "a handle was not given back once, at its end:\n" + calls);
    }
}

// A copy of the program in a folder of its own, with the drawer library
// libs\<library>\KestrinPOS_USB.dll beside it unless library is empty.
fs::path installCopy(const std::wstring &name, const std::wstring &library)
{
    const fs::path folder = workDir / name;
    fs::remove_all(folder);
    fs::create_directories(folder / "started-in");
    fs::copy_file(binDir / "kestrin-drawer.exe", folder / "kestrin-drawer.exe");
    if (!library.empty())
        fs::copy_file(
            testDir / "libs" / library / "KestrinPOS_USB.dll", folder / "KestrinPOS_USB.dll");
    return folder;
}

int screenDpi()
{
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

bool fixedClientSize(HWND window, int widthTwips, int heightTwips)
{
    RECT client {};
    GetClientRect(window, &client);
    return client.right == MulDiv(widthTwips, screenDpi(), 1440)
        && client.bottom == MulDiv(heightTwips, screenDpi(), 1440)
        && !(GetWindowLongW(window, GWL_STYLE) & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
}

// The program file: version 1.0.0.0, and of this build's bitness.
void testFile(const fs::path &exe)
{
    std::vector<char> version(GetFileVersionInfoSizeW(exe.c_str(), nullptr));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT size = 0;
    check(GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(version.size()), version.data())
            && VerQueryValueW(version.data(), L"\\", reinterpret_cast<void **>(&fixed), &size)
            && fixed->dwFileVersionMS == MAKELONG(0, 1) && fixed->dwFileVersionLS == 0,
        "the program's version is not 1.0.0.0");
    DWORD type = 0;
    check(GetBinaryTypeW(exe.c_str(), &type)
            && type == (sizeof(void *) == 4 ? SCS_32BIT_BINARY : SCS_64BIT_BINARY),
        "the program is not of this build's bitness");
}

// One control of each font the windows use: caption, size and weight.
const std::tuple<const char *, int, int> Fonts[]
    = {{"Drawer #8", 975, FW_NORMAL}, {"Status of Cash Drawer", 1200, FW_NORMAL},
        {"USB Device Connected", 1350, FW_NORMAL}, {"Cash Drawer Status", 1950, FW_BOLD},
        {"Cash Drawer", 2400, FW_NORMAL}, {"&Close", 1350, FW_NORMAL}, {"Version:", 975, FW_BOLD},
        {"Kestrin Cash Drawer USB Controller", 1350, FW_BOLD}};

// Sizes, fonts and menus, the last two as the probe library sees them from
// inside the program: at its first GetDrawerHandle (nothing connected yet)
// and at a GetDrawerStatus (connected, About up).
void testWindows()
{
    const fs::path look = installCopy(L"probe", L"probe") / "look";
    SetEnvironmentVariableW(L"KESTRIN_PROBE_OUT", look.c_str());
    Program program(look.parent_path() / "kestrin-drawer.exe");
    HWND main = program.window();
    HWND about = openAbout(program, main);
    check(fixedClientSize(main, 5400, 5640) && fixedClientSize(about, 4815, 2955),
        "a window's size or border");
    std::string before, after;
    check(waitFor([&] {
        before = readFile(look.string() + ".GetDrawerHandle");
        after = readFile(look.string() + ".GetDrawerStatus");
        return after.find("&Close") != std::string::npos;
    }),
        "the probe library saw no About window");
    const auto greyed = [](const std::string &seen) {
        const auto menu = seen.find("menu ");
        return menu != std::string::npos && (std::stoi(seen.substr(menu + 5)) & MF_GRAYED);
    };
    check(greyed(before) && !greyed(after), "\"Cash Drawer\" is not greyed just without a handle");
    for (const auto &[caption, hundredths, weight] : Fonts) {
        const std::string line = std::string("\n") + caption + "|MS Sans Serif|"
            + std::to_string(-MulDiv(hundredths, screenDpi(), 7200)) + "|" + std::to_string(weight);
        check(("\n" + after).find(line + "\n") != std::string::npos,
            std::string("the font of ") + caption);
    }
    testFile(binDir / "kestrin-drawer.exe");
}

struct ErrorCase {
    const wchar_t *name;
    const wchar_t *library; // beside the program, from libs\<library>
    // The program's subfolder that holds the simulated library: started-in
    // is the working directory, on-path is on PATH.
    const wchar_t *plantedIn;
    bool pressOpen;
    std::wstring boxNames;
};

const fs::path systemLibrary = [] {
    wchar_t system[MAX_PATH];
    return fs::path(std::wstring(system, GetSystemDirectoryW(system, MAX_PATH)))
        / "KestrinPOS_USB.dll";
}();
const wchar_t *const OtherBitness = sizeof(void *) == 4 ? L"64-bit" : L"32-bit";

const ErrorCase ErrorCases[] = {
    {L"no-library", L"", L"", false, L"KestrinPOS_USB.dll"},
    // A DLL in the folder the program is started from, or in one on PATH,
    // is never loaded.
    {L"planted-library", L"", L"started-in", false, L"KestrinPOS_USB.dll"},
    {L"planted-on-path", L"", L"on-path", false, L"KestrinPOS_USB.dll"},
    {L"no-opendrawer", L"noopen", L"", true, L"OpenDrawer"},
    {L"other-bitness", L"other", L"", false, OtherBitness},
    {L"failed-dllmain", L"failmain", L"", false, L"(error 1114)"},
    {L"truncated", L"truncated", L"", false, L"(error 193)"},
};
// Run on their own, with the other bitness's library in System32.
const ErrorCase SystemFolderCases[] = {
    {L"other-bitness-in-system32", L"", L"", false, systemLibrary.wstring()},
    {L"other-bitness-in-system32-too", L"", L"", false, OtherBitness},
};

// Each ends the program with a box naming what is wrong, and exit code 1,
// without running Exit (no ReleaseDrawerHandle) or the planted library.
// The programs run side by side: each takes seconds to end under Wine.
void testErrors(std::span<const ErrorCase> rows)
{
    changeDrawers([](sim::State &) {}, true);
    std::vector<std::unique_ptr<Program>> programs;
    wchar_t path[32767];
    const std::wstring systemPath(path, GetEnvironmentVariableW(L"PATH", path, 32767));
    for (const ErrorCase &row : rows) {
        const fs::path folder = installCopy(row.name, row.library);
        if (*row.plantedIn) {
            fs::create_directories(folder / row.plantedIn);
            fs::copy_file(
                binDir / "KestrinPOS_USB.dll", folder / row.plantedIn / "KestrinPOS_USB.dll");
        }
        SetEnvironmentVariableW(
            L"PATH", ((folder / "on-path").wstring() + L";" + systemPath).c_str());
        SetEnvironmentVariableW(L"KESTRIN_TESTLIB_LOG", (folder / "calls.log").c_str());
        programs.push_back(
            std::make_unique<Program>(folder / "kestrin-drawer.exe", folder / "started-in"));
    }
    SetEnvironmentVariableW(L"PATH", systemPath.c_str());
    for (std::size_t i = 0; i < programs.size(); ++i) {
        const ErrorCase &row = rows[i];
        const Program &program = *programs[i];
        const std::string name = fs::path(row.name).string();
        if (row.pressOpen) {
            // Connected; the other programs' boxes may cover its indicator.
            HWND open = child(program.window(), L"Button", L"Open Cash Drawer");
            check(waitFor([&] { return IsWindowEnabled(open); }), name + ": not connected");
            PostMessageW(open, BM_CLICK, 0, 0);
        }
        HWND box = program.window(L"#32770");
        wchar_t says[512] {};
        GetWindowTextW(GetDlgItem(box, 0xFFFF), says, 512); // a message box's text
        check(std::wcsstr(says, row.boxNames.c_str()), name + ": " + fs::path(says).string());
        PostMessageW(child(box, L"Button", L"OK"), BM_CLICK, 0, 0);
    }
    for (std::size_t i = 0; i < programs.size(); ++i) {
        const fs::path log = workDir / rows[i].name / "calls.log";
        check(programs[i]->exitCode() == 1 && readFile(log).find("Release") == std::string::npos,
            fs::path(rows[i].name).string() + ": not exit code 1, or Exit ran");
    }
    check(trace().empty(), "the planted library was loaded");
}

// Every program of the prefix would find the library in System32: it is
// there only while these run.
void testSystemFolderErrors()
{
    fs::copy_file(testDir / "libs" / "other" / "KestrinPOS_USB.dll", systemLibrary,
        fs::copy_options::overwrite_existing);
    testErrors(SystemFolderCases);
    fs::remove(systemLibrary);
}

} // namespace

int wmain()
{
    fs::create_directories(workDir);
    fs::remove(systemLibrary); // left by a run that crashed
    SetEnvironmentVariableW(L"KESTRIN_SIM_STATE", statePath.c_str());
    const std::pair<const char *, void (*)()> parts[]
        = {{"session", testSession}, {"exits", testExits}, {"windows", testWindows},
            {"errors", [] { testErrors(ErrorCases); }}, {"System32", testSystemFolderErrors}};
    for (const auto &[name, part] : parts) {
        const ULONGLONG started = GetTickCount64();
        part();
        std::printf("%s: %llu ms\n", name, GetTickCount64() - started);
    }
    std::printf("%d failures\n", failures);
    return failures ? 1 : 0;
}
