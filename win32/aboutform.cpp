#include "aboutform.h"

#include "formunits.h"
#include "messageloop.h"
#include "programend.h"
#include "resource.h"

#include <stdexcept>

namespace {

constexpr wchar_t ClassName[] = L"KestrinDrawer.AboutForm";
constexpr DWORD WindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr int ClientWidth = 4815;
constexpr int ClientHeight = 2955;

// The emblem's natural size, in hundredths of a millimetre.
constexpr int EmblemWidth = 6241;
constexpr int EmblemHeight = 2741;

constexpr DWORD Label = SS_LEFT | SS_NOPREFIX | WS_GROUP;

// In tab order, which is creation order: "Close" first, so it holds the
// focus, then the labels (which never take it), then the picture box.
constexpr FormWindow::Control Controls[] = {
    {AboutForm::Command1Id, L"Button", L"&Close", BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP, 0, 3120,
        2280, 1575, 615, 13.5, false},
    {AboutForm::Label1Id, L"Static", L"Kestrin Cash Drawer USB Controller", Label, 0, 120, 120,
        4695, 495, 13.5, true},
    {AboutForm::Label2Id, L"Static", L"Version:", Label, 0, 120, 1680, 975, 255, 9.75, true},
    // The version of this window's own design, not the program's version.
    {AboutForm::Label3Id, L"Static", L"2.0.0", Label, 0, 120, 1920, 975, 255, 9.75, true},
    {AboutForm::Picture1Id, L"Static", L"", SS_OWNERDRAW | WS_TABSTOP | WS_GROUP, WS_EX_CLIENTEDGE,
        1560, 600, 3135, 1575, FormWindow::NoFont, false},
};

} // namespace

AboutForm::AboutForm(HWND owner) : m_owner(owner)
{
    createWindow();
    createControls();
}

AboutForm::~AboutForm()
{
    if (m_window)
        DestroyWindow(m_window);
    for (HFONT font : m_fonts)
        DeleteObject(font);
    if (m_emblem)
        DeleteObject(m_emblem);
}

void AboutForm::createWindow()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    FormWindow::registerClass(ClassName, &FormWindow::windowProc<AboutForm>);
    RECT rect {0, 0, FormUnits::twips(ClientWidth), FormUnits::twips(ClientHeight)};
    AdjustWindowRectEx(&rect, WindowStyle, FALSE, 0);
    m_window = CreateWindowExW(0, ClassName, L"About USB Cash Drawer Controller", WindowStyle,
        CW_USEDEFAULT, CW_USEDEFAULT, rect.right - rect.left, rect.bottom - rect.top, m_owner,
        nullptr, instance, this);
    if (!m_window)
        throw std::runtime_error("The About window could not be created.");
    m_emblem = static_cast<HBITMAP>(LoadImageW(
        instance, MAKEINTRESOURCEW(IDB_USB_EMBLEM), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (!m_emblem)
        throw std::runtime_error("The About window's emblem could not be loaded.");
}

void AboutForm::createControls()
{
    FormWindow::createControls(m_window, std::begin(Controls), std::end(Controls), m_fonts);
    m_command1 = GetDlgItem(m_window, Command1Id);
}

void AboutForm::centreOverOwner()
{
    RECT owner {};
    GetWindowRect(m_owner, &owner);
    RECT own {};
    GetWindowRect(m_window, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    SetWindowPos(m_window, nullptr, owner.left + (owner.right - owner.left - width) / 2,
        owner.top + (owner.bottom - owner.top - height) / 2, 0, 0,
        SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void AboutForm::showModal()
{
    centreOverOwner();
    EnableWindow(m_owner, FALSE);
    ShowWindow(m_window, SW_SHOW);
    SetFocus(m_command1);
    MessageLoop::run(m_window, nullptr, [this] { return !IsWindowVisible(m_window); });
    EnableWindow(m_owner, TRUE);
}

void AboutForm::hide()
{
    // The owner first, so that it, not another program, becomes active.
    EnableWindow(m_owner, TRUE);
    ShowWindow(m_window, SW_HIDE);
}

void AboutForm::Command1_Click()
{
    // Hidden, not destroyed; hiding also ends the modal showing.
    hide();
}

LRESULT AboutForm::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        if (!ProgramEnd::hasEnded())
            onCommand(LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        // The title bar's close button ends the modal showing as "Close"
        // does; the window stays for the next showing.
        if (!ProgramEnd::hasEnded())
            hide();
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) != WA_INACTIVE)
            SetFocus(m_command1);
        return 0;
    case WM_NEXTDLGCTL:
        if (LOWORD(lParam))
            SetFocus(reinterpret_cast<HWND>(wParam));
        return 0;
    case WM_DRAWITEM:
        if (wParam != Picture1Id)
            return FALSE;
        drawPicture(*reinterpret_cast<const DRAWITEMSTRUCT *>(lParam));
        return TRUE;
    default:
        return DefWindowProcW(m_window, message, wParam, lParam);
    }
}

void AboutForm::onCommand(WORD id)
{
    // Enter (IDOK) presses "Close" only while it holds the focus; Esc
    // (IDCANCEL) presses nothing: it is neither default nor cancel button.
    if (id == Command1Id || (id == IDOK && GetFocus() == m_command1))
        Command1_Click();
}

void AboutForm::drawPicture(const DRAWITEMSTRUCT &item) const
{
    // At its natural size from the box's inner top-left corner, not
    // stretched to the box: what lies beyond the box's edges is cut off.
    FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
    BITMAP bitmap {};
    GetObjectW(m_emblem, sizeof bitmap, &bitmap);
    HDC source = CreateCompatibleDC(item.hDC);
    HGDIOBJ old = SelectObject(source, m_emblem);
    const int saved = SaveDC(item.hDC);
    IntersectClipRect(
        item.hDC, item.rcItem.left, item.rcItem.top, item.rcItem.right, item.rcItem.bottom);
    SetStretchBltMode(item.hDC, HALFTONE);
    SetBrushOrgEx(item.hDC, 0, 0, nullptr);
    StretchBlt(item.hDC, item.rcItem.left, item.rcItem.top,
        FormUnits::hundredthsOfMillimetre(EmblemWidth),
        FormUnits::hundredthsOfMillimetre(EmblemHeight), source, 0, 0, bitmap.bmWidth,
        bitmap.bmHeight, SRCCOPY);
    RestoreDC(item.hDC, saved);
    SelectObject(source, old);
    DeleteDC(source);
}
