// The drawer window as it is created: controls, geometry, fonts, tab order,
// menus and timer. Nothing here reacts to anything; mainform.cpp holds the
// behaviour.

#include "mainform.h"

#include "formunits.h"
#include "formwindow.h"
#include "resource.h"

#include <stdexcept>

namespace {

constexpr wchar_t ClassName[] = L"KestrinDrawer.MainForm";
constexpr DWORD WindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr DWORD WindowExStyle = WS_EX_DLGMODALFRAME;
constexpr int ClientWidth = 5400;
constexpr int ClientHeight = 5640;

// A group box is a sibling of the controls it frames, so their positions,
// given from the frame's outer top-left corner, are moved by its own.
constexpr int Frame1Left = 240;
constexpr int Frame1Top = 120;
constexpr int Frame2Left = 240;
constexpr int Frame2Top = 3960;

constexpr DWORD Option = BS_AUTORADIOBUTTON | WS_TABSTOP;
constexpr DWORD PushButton = BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP;
constexpr DWORD Label = SS_NOPREFIX | WS_GROUP;

// In tab order, which is creation order: the dialog keys step through the
// controls in the order they were created. WS_GROUP starts a group, so the
// eight option buttons form one group, "Drawer #8" first: the arrow keys go
// through it in this order, and Tab enters it at the selected option, as
// the button control keeps the tab stop on the checked one only.
constexpr FormWindow::Control Controls[] = {
    {MainForm::Frame1Id, L"Button", L"Status of Cash Drawer", BS_GROUPBOX | WS_GROUP, 0, 240, 120,
        4935, 2055, 12, false},
    {MainForm::Label1Id, L"Static", L"Cash Drawer", SS_CENTER | Label, 0, Frame1Left + 1200,
        Frame1Top + 600, 3615, 495, 24, false},
    {MainForm::Label2Id, L"Static", L"Offline", SS_CENTER | Label, 0, Frame1Left + 1200,
        Frame1Top + 1080, 3615, 495, 24, false},
    {MainForm::DrawerOptionId + 7, L"Button", L"Drawer #8", Option | WS_GROUP, 0, 4080, 5160, 1215,
        375, 9.75, false},
    {MainForm::DrawerOptionId + 6, L"Button", L"Drawer #7", Option, 0, 2760, 5160, 1215, 375, 9.75,
        false},
    {MainForm::DrawerOptionId + 5, L"Button", L"Drawer #6", Option, 0, 1440, 5160, 1335, 375, 9.75,
        false},
    {MainForm::DrawerOptionId + 0, L"Button", L"Drawer #1", Option, 0, 120, 4800, 1215, 375, 9.75,
        false},
    {MainForm::DrawerOptionId + 1, L"Button", L"Drawer #2", Option, 0, 1440, 4800, 1335, 375, 9.75,
        false},
    {MainForm::DrawerOptionId + 2, L"Button", L"Drawer #3", Option, 0, 2760, 4800, 1215, 375, 9.75,
        false},
    {MainForm::DrawerOptionId + 3, L"Button", L"Drawer #4", Option, 0, 4080, 4800, 1215, 375, 9.75,
        false},
    {MainForm::DrawerOptionId + 4, L"Button", L"Drawer #5", Option, 0, 120, 5160, 1215, 375, 9.75,
        false},
    {MainForm::Frame2Id, L"Button", L"Status of System", BS_GROUPBOX | WS_GROUP, 0, 240, 3960, 4935,
        735, FormWindow::SystemFont, false},
    {MainForm::StatusId, L"Static", L"USB Device NOT connected!", SS_LEFT | Label, 0,
        Frame2Left + 120, Frame2Top + 240, 4695, 375, 13.5, false},
    {MainForm::OpenButtonId, L"Button", L"Open Cash Drawer", PushButton, 0, 240, 2400, 4935, 735,
        19.5, true},
    {MainForm::StatusButtonId, L"Button", L"Cash Drawer Status", PushButton, 0, 240, 3240, 4935,
        735, 19.5, true},
    {MainForm::Shape1Id, L"Static", L"", SS_OWNERDRAW | WS_GROUP, 0, Frame1Left + 360,
        Frame1Top + 480, 735, 1215, FormWindow::NoFont, false},
};

// The window's outer rectangle for the client area, centred on the work
// area of the primary screen.
RECT centredWindowRect(HMENU menu)
{
    RECT rect {0, 0, FormUnits::twips(ClientWidth), FormUnits::twips(ClientHeight)};
    AdjustWindowRectEx(&rect, WindowStyle, menu != nullptr, WindowExStyle);
    RECT work {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const int left = work.left + (work.right - work.left - width) / 2;
    const int top = work.top + (work.bottom - work.top - height) / 2;
    return {left, top, left + width, top + height};
}

} // namespace

void MainForm::createWindow()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    FormWindow::registerClass(ClassName, &FormWindow::windowProc<MainForm>);
    HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(IDR_MAIN_MENU));
    m_accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
    if (!menu || !m_accelerators)
        throw std::runtime_error("The drawer window's menus could not be loaded.");
    const RECT rect = centredWindowRect(menu);
    // Hidden until Form_Load has run.
    m_window = CreateWindowExW(WindowExStyle, ClassName, L"Kestrin Cash Drawer USB Controller",
        WindowStyle, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, nullptr,
        menu, instance, this);
    if (!m_window)
        throw std::runtime_error("The drawer window could not be created.");
    fitClientArea();
    createControls();
    // Timer1 is enabled from creation: its first tick comes after the load
    // handler, which runs before the message loop.
    setTimerEnabled(true);
}

void MainForm::fitClientArea()
{
    // AdjustWindowRectEx assumes a one-line menu bar and the system's
    // metrics; whatever the frame really takes, the client area is fixed.
    RECT client {};
    GetClientRect(m_window, &client);
    RECT frame {};
    GetWindowRect(m_window, &frame);
    const int extraWidth = FormUnits::twips(ClientWidth) - client.right;
    const int extraHeight = FormUnits::twips(ClientHeight) - client.bottom;
    if (extraWidth != 0 || extraHeight != 0) {
        SetWindowPos(m_window, nullptr, frame.left, frame.top - extraHeight / 2,
            frame.right - frame.left + extraWidth, frame.bottom - frame.top + extraHeight,
            SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void MainForm::createControls()
{
    FormWindow::createControls(m_window, std::begin(Controls), std::end(Controls), m_fonts);
    m_label2 = GetDlgItem(m_window, Label2Id);
    m_status = GetDlgItem(m_window, StatusId);
    m_shape1 = GetDlgItem(m_window, Shape1Id);
    m_openButton = GetDlgItem(m_window, OpenButtonId);
    m_statusButton = GetDlgItem(m_window, StatusButtonId);
    for (int index = 0; index < 8; ++index)
        m_drawerOption[index] = GetDlgItem(m_window, DrawerOptionId + index);
    SendMessageW(m_drawerOption[0], BM_SETCHECK, BST_CHECKED, 0);
}
