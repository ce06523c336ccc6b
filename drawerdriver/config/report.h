// The library's messages: one line on standard error and in the system log
// for each problem, told again only once it has changed, since the program
// asks ten times a second.
#pragma once

#include <string>
#include <string_view>

namespace drawerdriver {

// Tells the problem about a subject (a drawer, a device, the configuration)
// if it differs from the last one told about that subject. An empty problem
// tells nothing and clears it, so that its return is told again; a problem
// that keeps coming back is told again at most once a minute, with a count.
void reportProblem(const std::string &subject, const std::string &problem);

// The text with its control characters shown as \xNN (line breaks kept),
// so that a name or an answer from outside cannot drive the terminal.
std::string printable(std::string_view text);

// The longest message told, in bytes; a longer one is cut, saying so.
inline constexpr std::size_t LongestMessage = 2048;

// In a child after fork: what the parent told is forgotten, and its lock
// with it.
void restartReportsAfterFork();

} // namespace drawerdriver
