// kestrin-drawerd's lines, and its record's copy in the journal. Under
// systemd, whose journal reads the service's standard error, each line
// carries its priority as sd-daemon.h writes it ("<4>" for a warning), so
// that it is kept once and at its level. Every event of the history is also
// one structured entry of the journal where there is one, for the shop's
// journal shipper; the SQLite history stays the till's own record.
#pragma once

#include "history.h"

#include <string>

#include <syslog.h> // LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO

namespace drawerservice {

// The drawer events' MESSAGE_ID (journalctl MESSAGE_ID=...), as sd-id128
// writes it; kestrin-drawer.catalog explains it.
inline constexpr char EventMessageId[] = "235bff0a8ce2470bba6301b4b24921fa";

// Under systemd, the drawer code's lines too go to the journal once, as the
// service's warnings. Called first thing.
void startLogging();

// One line, "kestrin-drawerd: ...", with its priority under systemd.
void logLine(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A setup step's result: a failure is logged as an error, "cannot WHAT: why".
int checked(int result, const char *what);

// Tells the event: one structured entry of the journal where there is one.
// The kick's line on standard error stays, unless that entry took its place
// in the journal.
void tellEvent(const Event &event);

} // namespace drawerservice
