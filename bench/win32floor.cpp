// The floor on Windows: the least a Win32 program of the drawer window's
// shape costs. One window of the same client size below a one-line menu
// bar, and a 100 ms timer that does nothing.

#include <windows.h>

namespace {

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER:
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    WNDCLASSW windowClass {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = L"KestrinFloor";
    RegisterClassW(&windowClass);

    HMENU menu = CreateMenu();
    AppendMenuW(menu, MF_STRING, 1, L"&Exit");
    constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    RECT rect {0, 0, 360, 376};
    AdjustWindowRectEx(&rect, style, TRUE, 0);
    HWND window
        = CreateWindowExW(0, L"KestrinFloor", L"Kestrin Floor", style, CW_USEDEFAULT, CW_USEDEFAULT,
            rect.right - rect.left, rect.bottom - rect.top, nullptr, menu, instance, nullptr);
    SetTimer(window, 1, 100, nullptr);
    ShowWindow(window, showCommand);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
