// Writing a file in a folder that another user may own, as root does for
// the web bridge's tokens and for a report's page: such a user can plant a
// link where the file goes, and root must never write or chown through it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace drawerdriver {

struct FileOwner {
    uid_t uid = 0;
    gid_t gid = 0;
};

// Replaces path by a file with the text: a new temporary file in the same
// folder (made here, never an existing one), given its mode and owner
// through its own descriptor, flushed to disk and renamed over path. A
// symbolic link or anything but a regular file at path is refused, never
// followed, and so is a folder reached through a link at any step of its
// path. Empty on success, otherwise one line that says why.
std::string replaceOwnFile(const std::string &path, std::string_view text, mode_t mode,
    std::optional<FileOwner> owner = std::nullopt);

} // namespace drawerdriver
