#include "busapi.h"

#include <charconv>

namespace drawerdriver::bus {

namespace {

std::string drawerPrefix()
{
    return std::string(ManagerPath) + "/drawer";
}

} // namespace

std::string drawerPath(int number)
{
    return drawerPrefix() + std::to_string(number);
}

int parseDrawerNumber(std::string_view text)
{
    // Digits only, and no leading zero: one drawer, one spelling.
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || text.front() == '0')
        return 0;
    return isDrawerNumber(number) ? number : 0;
}

int drawerNumber(std::string_view path)
{
    const std::string prefix = drawerPrefix();
    if (path.substr(0, prefix.size()) != prefix)
        return 0;
    return parseDrawerNumber(path.substr(prefix.size()));
}

} // namespace drawerdriver::bus
