#include "formunits.h"

#include <cmath>

namespace FormUnits {

int screenDpi()
{
    // System DPI aware (see the manifest): the screen's own figure, not 96.
    static const int dpi = [] {
        HDC screen = GetDC(nullptr);
        const int value = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
        return value > 0 ? value : 96;
    }();
    return dpi;
}

int twips(int value)
{
    return MulDiv(value, screenDpi(), 1440);
}

int hundredthsOfMillimetre(int value)
{
    return MulDiv(value, screenDpi(), 2540);
}

PixelRect twipsRect(int left, int top, int width, int height)
{
    return {twips(left), twips(top), twips(width), twips(height)};
}

HFONT createFormFont(double points, bool bold)
{
    // A negative height asks for the character height (without internal
    // leading), which is what a point size measures. Sizes like 9.75 pt are
    // kept in hundredths so that MulDiv rounds them once.
    const int hundredths = static_cast<int>(std::lround(points * 100));
    const int height = -MulDiv(hundredths, screenDpi(), 72 * 100);
    return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
        ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
        DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
}

HFONT createDialogFont()
{
    NONCLIENTMETRICSW metrics {};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        return CreateFontIndirectW(&metrics.lfMessageFont);
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

} // namespace FormUnits
