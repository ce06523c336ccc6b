#include "programend.h"

#include <exception>

namespace ProgramEnd {

namespace {
bool ended = false;
} // namespace

bool hasEnded()
{
    return ended;
}

void endNow()
{
    ended = true;
    PostQuitMessage(0);
}

void endWithError(std::string_view message)
{
    // The box runs a message loop of its own: timer ticks and clicks that
    // reach the windows meanwhile must run nothing.
    ended = true;
    MessageBoxW(nullptr, widen(message).c_str(), Title, MB_OK | MB_ICONERROR | MB_TASKMODAL);
    ExitProcess(1);
}

std::wstring widen(std::string_view utf8)
{
    if (utf8.empty())
        return {};
    const int size = static_cast<int>(utf8.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
    return wide;
}

} // namespace ProgramEnd
