#include "messageloop.h"

namespace MessageLoop {

int run(HWND window, HACCEL accelerators, const std::function<bool()> &done)
{
    MSG message {};
    while (!done()) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) // only for a bad window or message pointer, which this is not
            return 1;
        if (got == 0) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return static_cast<int>(message.wParam);
        }
        if (accelerators && TranslateAcceleratorW(window, accelerators, &message))
            continue;
        if (IsDialogMessageW(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

} // namespace MessageLoop
