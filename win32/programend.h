// How the program ends: at once, from inside any handler, with no further
// handler of any window running after it; and, for an error no handler
// traps, with its message in a box and exit code 1.
#pragma once

#include <windows.h>

#include <exception>
#include <string>
#include <string_view>

namespace ProgramEnd {

// The program's own title, shown on the error box.
inline constexpr wchar_t Title[] = L"Kestrin Cash Drawer USB Controller";

// Whether the program has ended: window procedures then run no handler.
bool hasEnded();

// Ends the message loop with exit code 0; nothing else runs meanwhile.
void endNow();

// Shows message (UTF-8) in a box and ends the process with exit code 1.
[[noreturn]] void endWithError(std::string_view message);

std::wstring widen(std::string_view utf8);

// Runs a window procedure's body. A C++ exception must never unwind
// through the system's frames that called the procedure, so any that
// reaches here ends the program with its message.
template<typename Body> LRESULT guarded(Body body) noexcept
{
    try {
        return body();
    } catch (const std::exception &error) {
        endWithError(error.what());
    } catch (...) {
        endWithError("An unknown error ended the program.");
    }
}

} // namespace ProgramEnd
