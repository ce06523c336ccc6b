// Units of the window definitions: positions and sizes in twips, colours as
// 0xBBGGRR integers, and the one font face every captioned control uses.
#pragma once

#include <QColor>
#include <QFont>
#include <QRect>

namespace FormUnits {

// 1440 twips to the inch, 96 pixels to the inch: 15 twips to the pixel.
inline constexpr int TwipsPerPixel = 15;

constexpr int twips(int value)
{
    return (value + (value >= 0 ? TwipsPerPixel / 2 : -TwipsPerPixel / 2)) / TwipsPerPixel;
}

constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

// Colour values: 255 is red, 65280 green, 0 black (red in the low byte).
inline constexpr int Red = 0x0000FF;
inline constexpr int Green = 0x00FF00;
inline constexpr int Black = 0x000000;

inline QColor bgrColor(int bgr)
{
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

// The face the window definitions ask for, and the Arial-metric face used
// where it is not installed (wider faces overflow the small option buttons).
inline constexpr char PreferredFace[] = "MS Sans Serif";
inline constexpr char FallbackFace[] = "Liberation Sans";

QString formFontFamily();
QFont formFont(qreal pointSize, bool bold = false);

} // namespace FormUnits
