// Where the library's messages are written: standard error and the system
// log. Lines are handed to a writer thread of their own, so that a host
// whose standard error is a full pipe never makes a call or a monitor wait.
#pragma once

#include <chrono>
#include <string>

namespace drawerdriver {

// Hands one line (without its newline) to the writer; never waits. Lines
// beyond a backlog no real use reaches are counted and said as one.
void writeLogLine(std::string line);
// Waits, at most for the limit, until every line handed so far is written.
void flushLogLines(std::chrono::milliseconds limit);
// In a child after fork: the parent's writer thread is not there.
void restartLogWriterAfterFork();

} // namespace drawerdriver
