#include "config/filestamp.h"

#include <sys/stat.h>

namespace drawerdriver {

FileStamp fileStampOf(const std::string &path)
{
    struct stat info = {};
    FileStamp stamp;
    stamp.path = path;
    if (::stat(path.c_str(), &info) != 0)
        return stamp;
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.file = info.st_ino;
    stamp.changed = std::int64_t(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec;
    stamp.size = info.st_size;
    return stamp;
}

} // namespace drawerdriver
