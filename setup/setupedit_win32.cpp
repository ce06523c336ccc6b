// Editing the configuration on Windows: a named mutex for the file, and
// what an administrator must not write.
#include "setup_win32.h"

#include <algorithm>
#include <cctype>

#include <windows.h>

namespace drawerdriver::setup {

namespace {

// How long an edit waits for another one to finish with the file, in ms.
constexpr DWORD LockLimitMs = 10000;

// The mutex's name: one per file, in every session. A name cannot hold a
// backslash, so the path goes in as a hash of its lower-case form.
std::wstring lockName(const std::string &path)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (char c : path) {
        hash ^= std::uint8_t(std::tolower(static_cast<unsigned char>(c == '/' ? '\\' : c)));
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    swprintf(
        name, 64, L"Global\\KestrinDrawerSetup-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

bool isReparsePoint(const std::string &path)
{
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

} // namespace

EditLock::EditLock(const std::string &path)
{
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, lockName(path).c_str());
    if (!mutex)
        return;
    m_lock = reinterpret_cast<std::intptr_t>(mutex);
    const DWORD waited = WaitForSingleObject(mutex, LockLimitMs);
    // Abandoned: an edit that ended without letting go; the file itself
    // was never left half written, since it is replaced in one step.
    m_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

EditLock::~EditLock()
{
    if (m_lock == -1)
        return;
    const HANDLE mutex = reinterpret_cast<HANDLE>(m_lock);
    if (m_held)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// Windows says so by refusing the replacement, which the caller turns into
// the same advice.
bool mayWrite(const std::string &)
{
    return true;
}

// An administrator writes no file through a link, nor into a folder that
// is one: either could lead the file anywhere.
std::string unsafeToWrite(const std::string &path)
{
    if (!isElevated())
        return {};
    std::string at = path;
    for (int depth = 0; depth < 64 && !at.empty(); ++depth) {
        if (isReparsePoint(at))
            return at
                + " is a link (a reparse point); run as an administrator, the tool writes "
                  "no file through a link";
        const auto slash = at.find_last_of("\\/");
        if (slash == std::string::npos || slash < 3)
            break;
        at.resize(slash);
    }
    return {};
}

std::string notADevice(const std::vector<SettingChange> &)
{
    return {};
}

// Whether a COM port is there shows only by opening it, which raises its
// lines: nothing is said before the library does.
void noteMissingDevices(const std::vector<SettingChange> &) { }

} // namespace drawerdriver::setup
