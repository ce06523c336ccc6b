#include "config/words.h"

#include <cctype>
#include <charconv>

namespace drawerdriver {

namespace {
// The text is a drawer number, 1 to 8, and nothing else.
bool drawerIn(std::string_view text, int &number)
{
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1
        || value > DrawerCount)
        return false;
    number = value;
    return true;
}
} // namespace

std::string sectionHeading(int number)
{
    return "[drawer " + std::to_string(number) + "]";
}

int headingDrawer(std::string_view line, bool &exact)
{
    line = trimmed(withoutComment(line));
    exact = false;
    if (line.size() < 3 || line.front() != '[' || line.back() != ']')
        return 0;
    std::string word;
    for (char c : line.substr(1, line.size() - 2))
        if (c != ' ' && c != '\t')
            word += char(std::tolower(static_cast<unsigned char>(c)));
    int number = 0;
    if (word.rfind("drawer", 0) != 0 || !drawerIn(word.substr(6), number))
        return 0;
    exact = line.substr(0, 8) == "[drawer "
        && drawerIn(trimmed(line.substr(8, line.size() - 9)), number);
    return number;
}

} // namespace drawerdriver
