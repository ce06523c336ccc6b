// What the two windows share: their window class, their controls made from
// a table, and the window procedure that hands each message to the window's
// object.
#pragma once

#include "programend.h"

#include <windows.h>

#include <vector>

namespace FormWindow {

// A child control as a window definition gives it. Positions and sizes are
// twips in the parent's client area.
struct Control {
    int id;
    const wchar_t *className;
    const wchar_t *caption;
    DWORD style;
    DWORD exStyle;
    int left, top, width, height;
    double points; // "MS Sans Serif" at this size; SystemFont or NoFont
    bool bold;
};
inline constexpr double SystemFont = 0; // the system's standard dialog font
inline constexpr double NoFont = -1;

// Registers a window class with the program's icon and the dialog colour.
void registerClass(const wchar_t *name, WNDPROC windowProc);

// Creates the controls in the order given, which is the tab order; fonts
// collects the fonts made for them, for the caller to delete.
void createControls(
    HWND parent, const Control *begin, const Control *end, std::vector<HFONT> &fonts);

// The window procedure of a class whose windows belong to a Form, created
// with the Form as their creation parameter: each message after creation
// goes to Form::handle. No C++ exception unwinds through the system's
// frames that called it.
template<typename Form>
LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return ProgramEnd::guarded([&]() -> LRESULT {
        if (message == WM_NCCREATE) {
            const auto *create = reinterpret_cast<const CREATESTRUCTW *>(lParam);
            SetWindowLongPtrW(
                window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto *form = reinterpret_cast<Form *>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (!form || form->window() != window)
            return DefWindowProcW(window, message, wParam, lParam);
        return form->handle(message, wParam, lParam);
    });
}

} // namespace FormWindow
