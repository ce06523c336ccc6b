#include "mainform.h"

#include "aboutform.h"
#include "programend.h"
#include "resource.h"

#include <stdexcept>

MainForm::MainForm(DrawerLibrary &library) : m_controller(library, *this)
{
    createWindow();
}

MainForm::~MainForm()
{
    m_aboutForm.reset();
    if (m_window)
        DestroyWindow(m_window);
    for (HFONT font : m_fonts)
        DeleteObject(font);
}

void MainForm::show(int showCommand)
{
    m_controller.Form_Load();
    ShowWindow(m_window, showCommand);
    UpdateWindow(m_window);
}

// Display properties, written by the controller.

HWND MainForm::controlWindow(Control control) const
{
    switch (control) {
    case Control::Status:
        return m_status;
    case Control::Label2:
        return m_label2;
    case Control::Shape1:
        return m_shape1;
    case Control::Open_Button:
        return m_openButton;
    case Control::Status_Button:
        return m_statusButton;
    case Control::mnuCashDrawer:
        break;
    }
    throw std::logic_error("That property of the drawer window cannot be written.");
}

// Polling writes the same values ten times a second; only a change is
// worth a repaint.

void MainForm::setCaption(Control control, std::string_view caption)
{
    HWND window = controlWindow(control);
    const std::wstring text = ProgramEnd::widen(caption);
    wchar_t current[64] {};
    if (GetWindowTextW(window, current, 64) && text == current)
        return;
    if (!SetWindowTextW(window, text.c_str()))
        throw std::runtime_error("A caption of the drawer window could not be written.");
}

void MainForm::setColor(Control control, COLORREF &color, int bgr, BOOL erase)
{
    // COLORREF is 0x00BBGGRR too.
    if (color == static_cast<COLORREF>(bgr))
        return;
    color = static_cast<COLORREF>(bgr);
    InvalidateRect(controlWindow(control), nullptr, erase);
}

void MainForm::setTextColor(Control control, int bgr)
{
    setColor(control, m_statusTextColor, bgr, TRUE);
}

void MainForm::setFillColor(Control control, int bgr)
{
    setColor(control, m_shapeFillColor, bgr, FALSE);
}

void MainForm::setBorderColor(Control control, int bgr)
{
    setColor(control, m_shapeBorderColor, bgr, FALSE);
}

void MainForm::setEnabled(Control control, bool enabled)
{
    if (control == Control::mnuCashDrawer) {
        if (enabled == m_cashDrawerEnabled)
            return;
        // By position: a submenu has no command identifier of its own.
        HMENU menu = GetMenu(m_window);
        EnableMenuItem(menu, 1, MF_BYPOSITION | (enabled ? MF_ENABLED : MF_GRAYED));
        DrawMenuBar(m_window);
        m_cashDrawerEnabled = enabled;
        return;
    }
    HWND window = controlWindow(control);
    // A disabled window loses the focus to nothing, and the keyboard with
    // it; the selected drawer takes it instead.
    if (!enabled && GetFocus() == window)
        SetFocus(selectedDrawerOption());
    EnableWindow(window, enabled);
}

void MainForm::setTimerEnabled(bool enabled)
{
    // Arming it again starts a full interval afresh.
    if (!enabled)
        KillTimer(m_window, Timer1Id);
    else if (!SetTimer(m_window, Timer1Id, 100, nullptr))
        throw std::runtime_error("The drawer window's timer could not be started.");
}

void MainForm::showAbout()
{
    if (!m_aboutForm)
        m_aboutForm = std::make_unique<AboutForm>(m_window);
    m_aboutForm->showModal();
}

void MainForm::endProgram()
{
    ProgramEnd::endNow();
}

// Events.

namespace {

// The messages that run one of the controller's handlers; none of them may
// run once the program has ended.
bool runsHandler(UINT message)
{
    return message == WM_COMMAND || message == WM_TIMER || message == WM_CLOSE
        || message == WM_ENDSESSION || message == WM_DESTROY;
}

} // namespace

LRESULT MainForm::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (runsHandler(message) && ProgramEnd::hasEnded())
        return 0;
    switch (message) {
    case WM_COMMAND:
        onCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return 0;
    case WM_TIMER:
        if (wParam == Timer1Id)
            m_controller.Timer1_Timer();
        return 0;
    case WM_CLOSE:
        // Never refused; Exit ends the program instead of destroying the
        // window here.
        m_controller.Form_Unload();
        return 0;
    case WM_ENDSESSION:
        // After this returns the session may end the process at any time.
        if (wParam)
            m_controller.Form_Terminate();
        return 0;
    case WM_DESTROY:
        m_controller.Form_Terminate();
        return 0;
    case WM_ACTIVATE:
        onActivate(LOWORD(wParam) != WA_INACTIVE);
        return 0;
    case WM_SETFOCUS:
        restoreFocus();
        return 0;
    case WM_NEXTDLGCTL:
        // The arrow keys within a group, as a dialog moves them.
        if (LOWORD(lParam))
            SetFocus(reinterpret_cast<HWND>(wParam));
        return 0;
    case WM_CTLCOLORSTATIC:
        return onControlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_DRAWITEM:
        if (wParam != Shape1Id)
            return FALSE;
        drawShape(*reinterpret_cast<const DRAWITEMSTRUCT *>(lParam));
        return TRUE;
    default:
        return DefWindowProcW(m_window, message, wParam, lParam);
    }
}

void MainForm::onCommand(WORD id, WORD code, HWND control)
{
    if (!control) {
        onMenuCommand(id, code == 1);
        return;
    }
    if (code != BN_CLICKED)
        return;
    if (id == OpenButtonId)
        m_controller.Open_Button_Click();
    else if (id == StatusButtonId)
        m_controller.Status_Button_Click();
    else if (id >= DrawerOptionId && id < DrawerOptionId + 8)
        m_controller.DrawerOption_Click(static_cast<std::int16_t>(id - DrawerOptionId));
}

void MainForm::onMenuCommand(WORD id, bool fromAccelerator)
{
    // Ctrl+O and Ctrl+S stand for the items of "Cash Drawer": while it is
    // greyed they do nothing, like the buttons beside them.
    if (fromAccelerator && !m_cashDrawerEnabled)
        return;
    switch (id) {
    case IDOK: // Enter
        pressFocusedButton();
        break;
    case IDCANCEL: // Esc presses nothing: there is no cancel button
        break;
    case IDM_EXIT:
        m_controller.mnuExit_Click();
        break;
    case IDM_OPEN_DRAWER:
        m_controller.mnuOpenDrawer_Click();
        break;
    case IDM_STATUS_DRAWER:
        m_controller.mnuStatusDrawer_Click();
        break;
    case IDM_ONLINE:
        m_controller.mnuOnline_Click();
        break;
    case IDM_ABOUT:
        m_controller.mnuAbout_Click();
        break;
    default:
        break;
    }
}

void MainForm::pressFocusedButton()
{
    // There is no default button: Enter presses a push button only while
    // it holds the focus.
    HWND focus = GetFocus();
    if ((focus == m_openButton || focus == m_statusButton) && IsWindowEnabled(focus))
        onCommand(static_cast<WORD>(GetDlgCtrlID(focus)), BN_CLICKED, focus);
}

// Focus: a window that is not a dialog keeps track of it itself.

void MainForm::onActivate(bool active)
{
    HWND focus = GetFocus();
    if (!active && focus && IsChild(m_window, focus))
        m_savedFocus = focus;
    if (active)
        restoreFocus();
}

void MainForm::restoreFocus()
{
    HWND target = m_savedFocus;
    if (!target || !IsWindowEnabled(target))
        target = selectedDrawerOption();
    SetFocus(target);
}

HWND MainForm::selectedDrawerOption() const
{
    for (HWND option : m_drawerOption) {
        if (SendMessageW(option, BM_GETCHECK, 0, 0) == BST_CHECKED)
            return option;
    }
    return m_drawerOption[0];
}

// Painting.

LRESULT MainForm::onControlColor(HDC dc, HWND control)
{
    LRESULT brush = DefWindowProcW(m_window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
        reinterpret_cast<LPARAM>(control));
    if (control == m_status)
        SetTextColor(dc, m_statusTextColor);
    return brush;
}

void MainForm::drawShape(const DRAWITEMSTRUCT &item) const
{
    // A rectangle filled solid, with a one-pixel border.
    HBRUSH fill = CreateSolidBrush(m_shapeFillColor);
    HPEN border = CreatePen(PS_INSIDEFRAME, 1, m_shapeBorderColor);
    HGDIOBJ oldBrush = SelectObject(item.hDC, fill);
    HGDIOBJ oldPen = SelectObject(item.hDC, border);
    const RECT &rect = item.rcItem;
    Rectangle(item.hDC, rect.left, rect.top, rect.right, rect.bottom);
    SelectObject(item.hDC, oldPen);
    SelectObject(item.hDC, oldBrush);
    DeleteObject(border);
    DeleteObject(fill);
}
