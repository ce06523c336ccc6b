#include "formwindow.h"

#include "formunits.h"
#include "resource.h"

#include <stdexcept>

namespace FormWindow {

void registerClass(const wchar_t *name, WNDPROC windowProc)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_KESTRIN_DRAWER));
    windowClass.hIconSm
        = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KESTRIN_DRAWER), IMAGE_ICON,
            GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = name;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("A window class of the program could not be registered.");
}

void createControls(
    HWND parent, const Control *begin, const Control *end, std::vector<HFONT> &fonts)
{
    for (const Control *control = begin; control != end; ++control) {
        const auto rect
            = FormUnits::twipsRect(control->left, control->top, control->width, control->height);
        HWND window = CreateWindowExW(control->exStyle, control->className, control->caption,
            WS_CHILD | WS_VISIBLE | control->style, rect.left, rect.top, rect.width, rect.height,
            parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(control->id)),
            GetModuleHandleW(nullptr), nullptr);
        if (!window)
            throw std::runtime_error("A control of the program's windows could not be created.");
        if (control->points == NoFont)
            continue;
        HFONT font = control->points == SystemFont
            ? FormUnits::createDialogFont()
            : FormUnits::createFormFont(control->points, control->bold);
        fonts.push_back(font);
        SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
}

} // namespace FormWindow
