// The library's messages: one line on standard error and in the system log
// for each problem, told again only once it has changed, since the program
// asks ten times a second.
#pragma once

#include <string>

namespace drawerdriver {

// Tells the problem about a subject (a drawer, a device, the configuration)
// if it differs from the last one told about that subject. An empty problem
// tells nothing and clears it, so that its return is told again.
void reportProblem(const std::string &subject, const std::string &problem);

} // namespace drawerdriver
