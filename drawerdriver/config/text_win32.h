// Text between the driver, which keeps UTF-8, and the Windows API, which
// takes UTF-16; and the system's own words for an error code.
#pragma once

#include <string>
#include <string_view>

namespace drawerdriver {

std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);
// The system's message for a GetLastError or WSAGetLastError code, one
// line, with the code: "Access is denied. (error 5)".
std::string systemMessage(unsigned long code);

} // namespace drawerdriver
