// What identifies one version of a file, so that a change to the
// configuration is noticed: its identity on the disk, its size and its
// change time to the finest the system keeps, since an editor may replace
// the file, or rewrite it in place, within one second.
#pragma once

#include <cstdint>
#include <string>

namespace drawerdriver {

struct FileStamp {
    std::string path;
    bool exists = false;
    std::uint64_t device = 0; // the disk (volume) the file is on
    std::uint64_t file = 0; // the file on that disk (inode, file index)
    std::int64_t changed = 0; // the change time, in the system's units
    std::int64_t written = 0; // the write time, where it differs
    std::int64_t size = 0;
    bool operator==(const FileStamp &) const = default;
};

FileStamp fileStampOf(const std::string &path);

} // namespace drawerdriver
