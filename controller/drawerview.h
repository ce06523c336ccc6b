// What the drawer controller needs of a window: the few properties it
// writes, its timer, the About window and the end of the program. The Qt
// window and the Win32 window each implement it; tests script it.
#pragma once

#include <string_view>

class DrawerView {
public:
    // The controls whose properties the controller writes.
    enum class Control { Status, Label2, Shape1, Open_Button, Status_Button, mnuCashDrawer };

    virtual ~DrawerView() = default;

    // Captions are UTF-8.
    virtual void setCaption(Control control, std::string_view caption) = 0;
    // Colours are 0xBBGGRR: 255 red, 65280 green, 0 black.
    virtual void setTextColor(Control control, int bgr) = 0;
    virtual void setFillColor(Control control, int bgr) = 0;
    virtual void setBorderColor(Control control, int bgr) = 0;
    virtual void setEnabled(Control control, bool enabled) = 0;

    // Timer1: off, or on with a full interval from now.
    virtual void setTimerEnabled(bool enabled) = 0;
    // Shows the single About window modally; returns once it is hidden.
    // Timer ticks go on reaching the controller meanwhile.
    virtual void showAbout() = 0;
    // Ends the program at once: no further handler of any window runs.
    virtual void endProgram() = 0;
};
