// The program's message loop, shared by the main window and the modal
// About window, so that the keyboard works the same in both: Tab and the
// arrow keys move the focus, access keys and Enter press buttons.
#pragma once

#include <windows.h>

#include <functional>

namespace MessageLoop {

// Pumps messages for every window of the thread, giving keyboard messages
// to window's dialog navigation and to accelerators first (when given),
// until done() holds or WM_QUIT arrives. A WM_QUIT is posted again, so
// that an outer loop ends too. Returns the WM_QUIT's exit code, or 0.
int run(HWND window, HACCEL accelerators, const std::function<bool()> &done);

} // namespace MessageLoop
