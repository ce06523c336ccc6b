#include "config/logwriter.h"
#include "config/text_win32.h"

#include <cstdio>

#include <windows.h>

namespace drawerdriver {

namespace {

// The installer registers the source; without it the line still lands in
// the Application log, under that name.
constexpr wchar_t EventSource[] = L"Kestrin Drawer";
constexpr DWORD EventId = 1;

} // namespace

void emitLogLine(const std::string &line, const std::string &)
{
    std::fprintf(stderr, "KestrinPOS_USB: %s\n", line.c_str());
    std::fflush(stderr);
    // A program with a window has no standard error to see: the event log
    // keeps the line. Only the writer thread comes here.
    static const HANDLE source = RegisterEventSourceW(nullptr, EventSource);
    if (!source)
        return;
    const std::wstring text = widen(line);
    const wchar_t *strings[] = {text.c_str()};
    ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, EventId, nullptr, 1, 0, strings, nullptr);
}

} // namespace drawerdriver
