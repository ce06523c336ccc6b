#include "config/logwriter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>
#include <syslog.h>

namespace drawerdriver {

void emitLogLine(const std::string &line, const std::string &journalProgram)
{
    if (!journalProgram.empty()) {
        std::fputs(withPriority(LOG_WARNING, journalProgram + ": " + line).c_str(), stderr);
        return;
    }
    std::fprintf(stderr, "KestrinPOS_USB: %s\n", line.c_str());
    // A desktop launch hides standard error; the system log keeps it.
    ::syslog(LOG_USER | LOG_WARNING, "KestrinPOS_USB: %s", line.c_str());
}

bool standardErrorIsJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat info { };
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2
        && ::fstat(2, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

std::string withPriority(int priority, const std::string &text)
{
    // Built by appending: GCC 12 warns wrongly (-Wrestrict) on "<" + string.
    std::string mark = "<";
    mark.append(std::to_string(priority)).append(">");
    std::string marked;
    std::size_t start = 0;
    do {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        marked += mark + text.substr(start, end - start) + "\n";
        start = end + 1;
    } while (start < text.size());
    return marked;
}

} // namespace drawerdriver
