#include "config/report.h"

#include "config/logwriter.h"

#include <map>
#include <mutex>

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
    writeLogLine(problem);
}

} // namespace drawerdriver
