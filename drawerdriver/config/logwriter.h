// Where the library's messages are written: standard error and the system
// log (syslog on POSIX, the Application event log on Windows), or, inside a service of ours whose
// standard error is the journal, that alone. Lines are handed to a writer thread of their own, so
// that a host whose standard error is a full pipe never makes a call or a monitor wait.
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

// Writes one line where the platform keeps messages (in logwriter_posix.cpp
// and logwriter_win32.cpp); called on the writer thread alone.
void emitLogLine(const std::string &line, const std::string &journalProgram);

#if !defined(_WIN32)
// Whether standard error is the journal: systemd names the stream it gave
// in JOURNAL_STREAM ("device:inode"). A program started from such a
// service's shell inherits the variable with another standard error.
bool standardErrorIsJournal();

// For our own services whose standard error is the journal: each line goes
// there once, as a warning of that program ("<4>program: line"), and not
// through the system log too.
void writeLogLinesToJournal(std::string program);

// The text with each of its lines marked with the priority (LOG_ERR, ...)
// that the journal reads from a service's standard error.
std::string withPriority(int priority, const std::string &text);
#endif

} // namespace drawerdriver
