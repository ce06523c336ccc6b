#include "config/report.h"

#include <cstdio>
#include <map>
#include <mutex>

#include <syslog.h>

namespace drawerdriver {

void reportProblem(const std::string &subject, const std::string &problem)
{
    // Never destroyed: a monitor still stopping while the process exits
    // may tell one last thing.
    static std::mutex &mutex = *new std::mutex;
    static std::map<std::string, std::string> &told = *new std::map<std::string, std::string>;
    std::lock_guard guard(mutex);
    std::string &last = told[subject];
    if (problem == last)
        return;
    last = problem;
    if (problem.empty())
        return;
    std::fprintf(stderr, "KestrinPOS_USB: %s\n", problem.c_str());
    // A desktop launch hides standard error; the system log keeps it.
    ::syslog(LOG_USER | LOG_WARNING, "KestrinPOS_USB: %s", problem.c_str());
}

} // namespace drawerdriver
