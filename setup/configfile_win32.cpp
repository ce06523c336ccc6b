// The configuration file replaced in one step on Windows: a temporary file
// beside it, flushed to disk, put in its place with ReplaceFile, which
// keeps the old file's permissions, or moved there for a new file.
#include "configfile.h"

#include "config/text_win32.h"

#include <cerrno>

#include <windows.h>

namespace drawerdriver {

namespace {

struct Failure {
    std::string error;
    int code = 0;

    bool operator()(const std::string &what, DWORD system = GetLastError())
    {
        code = system == ERROR_ACCESS_DENIED ? EACCES : EIO;
        error = what + ": " + systemMessage(system);
        return false;
    }
};

std::string folderOf(const std::string &path)
{
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool writeTemporary(const std::string &temporary, const std::string &text, Failure &fail)
{
    const HANDLE file = CreateFileW(widen(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return fail("cannot write in " + folderOf(temporary));
    bool written = true;
    for (std::size_t done = 0; written && done < text.size();) {
        DWORD wrote = 0;
        written = WriteFile(file, text.data() + done, DWORD(text.size() - done), &wrote, nullptr)
            && wrote > 0;
        done += wrote;
    }
    written = written && FlushFileBuffers(file);
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!written) {
        DeleteFileW(widen(temporary).c_str());
        return fail("cannot write " + temporary, code);
    }
    return true;
}

} // namespace

bool replaceFile(
    const std::string &path, const std::string &text, std::string &error, int &errorCode)
{
    Failure fail;
    const std::wstring target = widen(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    const std::string folder = folderOf(path);
    const std::string temporary = folder + "\\.drawers.conf."
        + std::to_string(GetCurrentProcessId()) + "." + std::to_string(GetTickCount64());
    bool done = false;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fail(path + " is not a regular file", ERROR_DIRECTORY);
    } else if (!exists && !CreateDirectoryW(widen(folder).c_str(), nullptr)
        && GetLastError() != ERROR_ALREADY_EXISTS) {
        fail("cannot make the folder " + folder);
    } else if (writeTemporary(temporary, text, fail)) {
        const std::wstring wideTemporary = widen(temporary);
        done = exists ? ReplaceFileW(target.c_str(), wideTemporary.c_str(), nullptr,
                   REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                      : MoveFileExW(wideTemporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
        if (!done) {
            fail("cannot replace " + path);
            DeleteFileW(wideTemporary.c_str());
        }
    }
    error = fail.error;
    errorCode = fail.code;
    return done;
}

} // namespace drawerdriver
