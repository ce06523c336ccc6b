// The few file operations the simulated drawer bank needs, one
// implementation per platform (simfiles_posix.cpp, simfiles_win32.cpp).
// Paths are UTF-8. None of them follows a link in place of a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sim::files {

// Tells one version of a file from the next: files are only ever replaced
// whole, so a new file (or time stamp, or size) means new content.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::int64_t modified = 0;
    std::int64_t size = -1;

    bool operator==(const FileId &) const = default;
};

// The file at path, when it is a regular file and not a link.
std::optional<FileId> regularFileId(const std::string &path);

enum class ReadResult {
    Ok,
    Missing,
    Link,
    Unreadable, // error tells why
    Invalid, // not a regular file, or a read failed midway
};

// Reads a little more than maxBytes at most, so an oversized file shows as one.
ReadResult readFile(const std::string &path, std::size_t maxBytes, std::string &text, FileId &id,
    std::string &error);

// Writes text to a private file beside path, then puts it in path's place in
// one step. Refuses when path is something else than a regular file.
bool replaceFile(const std::string &path, const std::string &text, std::string &error);

// Appends text in a single write, so lines of several processes never mix.
bool appendToFile(const std::string &path, const std::string &text);

// An exclusive lock on a lock file, held until the object goes.
class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    enum Result { Locked, Busy, Failed };
    // Waits at most timeoutMs for the lock; error tells why it Failed.
    Result lock(const std::string &path, int timeoutMs, std::string &error);
    bool isLocked() const { return m_handle != -1; }

private:
    std::intptr_t m_handle = -1; // a file descriptor, or a Win32 HANDLE
};

// The value of an environment variable, or empty.
std::string environment(const char *name);
bool isAbsolutePath(const std::string &path);
// Where the state file goes when no path is given; empty, with error set,
// when no safe place is found.
std::string defaultStatePath(std::string &error);

} // namespace sim::files
