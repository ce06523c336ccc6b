// Units of the window definitions on Windows: positions and sizes in twips,
// converted at the screen's DPI, and the one font face every captioned
// control uses.
#pragma once

#include <windows.h>

namespace FormUnits {

// Pixels per inch of the screen (96 unless the user has scaled it).
int screenDpi();

// A length in twips (1/1440 inch) in pixels at the screen's DPI.
int twips(int value);

// A length in hundredths of a millimetre in pixels at the screen's DPI.
int hundredthsOfMillimetre(int value);

struct PixelRect {
    int left;
    int top;
    int width;
    int height;
};

PixelRect twipsRect(int left, int top, int width, int height);

// "MS Sans Serif", Western character set, at a point size converted at the
// screen's DPI; regular (400) or bold (700). The caller owns the font.
HFONT createFormFont(double points, bool bold = false);

// The standard dialog font of the system; the caller owns it.
HFONT createDialogFont();

} // namespace FormUnits
