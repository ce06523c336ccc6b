#include "simfiles.h"

#include <cctype>
#include <chrono>

#include <windows.h>

namespace sim::files {

namespace {

std::wstring widen(const std::string &text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), size);
    return wide;
}

std::string narrow(const wchar_t *text, int length = -1)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    if (length < 0 && !result.empty())
        result.pop_back(); // the terminating null
    return result;
}

// The system's words for the last error.
std::string lastError()
{
    const DWORD code = GetLastError();
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string result = length ? narrow(text, int(length)) : "error " + std::to_string(code);
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A handle that closes itself.
struct Handle {
    HANDLE value;
    explicit Handle(HANDLE h) : value(h) { }
    ~Handle()
    {
        if (value != INVALID_HANDLE_VALUE)
            CloseHandle(value);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    bool ok() const { return value != INVALID_HANDLE_VALUE; }
};

// Opens the file itself, never what a link (a reparse point) points to.
HANDLE openNoFollow(const std::string &path, DWORD access, DWORD disposition)
{
    return CreateFileW(widen(path).c_str(), access, ShareAll, nullptr, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

enum class Kind { Regular, Link, Other };

Kind kindOf(HANDLE file, FileId *id = nullptr)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info) || GetFileType(file) != FILE_TYPE_DISK)
        return Kind::Other;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return Kind::Link;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return Kind::Other;
    if (id) {
        const auto join = [](DWORD high, DWORD low) { return (std::uint64_t(high) << 32) | low; };
        *id = {info.dwVolumeSerialNumber, join(info.nFileIndexHigh, info.nFileIndexLow),
            std::int64_t(
                join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime)),
            std::int64_t(join(info.nFileSizeHigh, info.nFileSizeLow))};
    }
    return Kind::Regular;
}

bool writeAll(HANDLE file, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD wrote = 0;
        if (!WriteFile(file, text.data() + done, DWORD(text.size() - done), &wrote, nullptr)
            || wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

// Puts temporary in path's place. Windows refuses while another process
// has path open, as a reader does for a moment; such a refusal is retried
// for a short, bounded while.
bool moveInPlace(const std::string &temporary, const std::string &path)
{
    const std::wstring from = widen(temporary);
    const std::wstring to = widen(path);
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        const DWORD code = GetLastError();
        if (attempt == 50 || (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION))
            return false;
        Sleep(2);
    }
}

} // namespace

std::optional<FileId> regularFileId(const std::string &path)
{
    const Handle file(openNoFollow(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING));
    FileId id;
    if (!file.ok() || kindOf(file.value, &id) != Kind::Regular)
        return std::nullopt;
    return id;
}

ReadResult readFile(const std::string &path, std::size_t maxBytes, std::string &text, FileId &id,
    std::string &error)
{
    const Handle file(openNoFollow(path, GENERIC_READ, OPEN_EXISTING));
    if (!file.ok()) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return ReadResult::Missing;
        error = lastError();
        return ReadResult::Unreadable;
    }
    const Kind kind = kindOf(file.value, &id);
    if (kind != Kind::Regular)
        return kind == Kind::Link ? ReadResult::Link : ReadResult::Invalid;
    char buffer[4096];
    DWORD got = 0;
    while (text.size() <= maxBytes) {
        if (!ReadFile(file.value, buffer, sizeof buffer, &got, nullptr))
            return ReadResult::Invalid;
        if (got == 0)
            break;
        text.append(buffer, got);
    }
    return ReadResult::Ok;
}

bool replaceFile(const std::string &path, const std::string &text, std::string &error)
{
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES
        && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        error = "refusing to replace " + path + ": not a regular file";
        return false;
    }
    const std::string temporary = path + ".new";
    DeleteFileW(widen(temporary).c_str()); // a leftover of a crashed writer; the lock is ours
    bool written = false;
    {
        const Handle file(CreateFileW(widen(temporary).c_str(), GENERIC_WRITE, 0, nullptr,
            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.ok()) {
            error = "cannot write " + temporary + ": " + lastError();
            return false;
        }
        written = writeAll(file.value, text);
    }
    if (!written || !moveInPlace(temporary, path)) {
        error = "cannot write " + path + ": " + lastError();
        DeleteFileW(widen(temporary).c_str());
        return false;
    }
    return true;
}

bool appendToFile(const std::string &path, const std::string &text)
{
    // Append access only: every write goes to the end, whoever else writes.
    const Handle file(openNoFollow(path, FILE_APPEND_DATA, OPEN_ALWAYS));
    if (!file.ok() || kindOf(file.value) != Kind::Regular)
        return false;
    DWORD wrote = 0;
    return WriteFile(file.value, text.data(), DWORD(text.size()), &wrote, nullptr)
        && wrote == text.size();
}

FileLock::Result FileLock::lock(const std::string &path, int timeoutMs, std::string &error)
{
    Handle file(openNoFollow(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
    if (!file.ok()) {
        error = "cannot open " + path + ": " + lastError();
        return Failed;
    }
    if (kindOf(file.value) != Kind::Regular) {
        error = "cannot open " + path + ": not a regular file";
        return Failed;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    OVERLAPPED whole = {};
    while (!LockFileEx(
        file.value, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
        if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) {
            error = "cannot lock " + path + ": " + lastError();
            return Failed;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return Busy;
        Sleep(2);
    }
    m_handle = reinterpret_cast<std::intptr_t>(file.value);
    file.value = INVALID_HANDLE_VALUE; // ours now
    return Locked;
}

FileLock::~FileLock()
{
    if (m_handle == -1)
        return;
    const HANDLE file = reinterpret_cast<HANDLE>(m_handle);
    // Unlocked at once: a lock that goes with the handle may linger a while.
    OVERLAPPED whole = {};
    UnlockFileEx(file, 0, 1, 0, &whole);
    CloseHandle(file);
}

std::string environment(const char *name)
{
    const std::wstring wideName = widen(name);
    const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
    return length && length < size ? narrow(value.c_str(), int(length)) : std::string();
}

bool isAbsolutePath(const std::string &path)
{
    const auto slash = [](char c) { return c == '\\' || c == '/'; };
    // C:\..., or \\server\share\...
    return (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':'
               && slash(path[2]))
        || (path.size() >= 3 && slash(path[0]) && slash(path[1]));
}

std::string defaultStatePath(std::string &error)
{
    // The user's own local application data: nobody else may write there.
    const std::string folder = environment("LOCALAPPDATA");
    if (!isAbsolutePath(folder)) {
        error = "LOCALAPPDATA is not set; set KESTRIN_SIM_STATE to the state file's full path";
        return {};
    }
    return folder + "\\kestrin-drawer-sim.state";
}

} // namespace sim::files
