// The drawer window on Windows: the controls, menus and timer of the drawer
// window in plain Win32, every event forwarded to the shared controller,
// which writes the controls back through DrawerView.
#pragma once

#include "controller/drawercontroller.h"
#include "controller/drawerview.h"

#include "formwindow.h"

#include <windows.h>

#include <array>
#include <memory>
#include <vector>

class AboutForm;
class DrawerLibrary;

class MainForm final : public DrawerView {
public:
    // Child window identifiers, away from IDOK and IDCANCEL.
    enum ControlId : int {
        Frame1Id = 100,
        Label1Id,
        Label2Id,
        Frame2Id,
        StatusId,
        OpenButtonId,
        StatusButtonId,
        Shape1Id,
        DrawerOptionId = 110, // + the option button's index, 0 to 7
    };
    explicit MainForm(DrawerLibrary &library);
    ~MainForm() override;
    MainForm(const MainForm &) = delete;
    MainForm &operator=(const MainForm &) = delete;

    // Runs Form_Load, then shows the window for the first time.
    void show(int showCommand);

    HWND window() const { return m_window; }
    HACCEL accelerators() const { return m_accelerators; }

    void setCaption(Control control, std::string_view caption) override;
    void setTextColor(Control control, int bgr) override;
    void setFillColor(Control control, int bgr) override;
    void setBorderColor(Control control, int bgr) override;
    void setEnabled(Control control, bool enabled) override;
    void setTimerEnabled(bool enabled) override;
    void showAbout() override;
    void endProgram() override;

private:
    static constexpr UINT_PTR Timer1Id = 1;

    // Window definition (mainformlayout.cpp).
    void createWindow();
    void createControls();
    void fitClientArea();

    template<typename Form>
    friend LRESULT CALLBACK FormWindow::windowProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void onCommand(WORD id, WORD code, HWND control);
    void onMenuCommand(WORD id, bool fromAccelerator);
    void pressFocusedButton();
    void onActivate(bool active);
    void restoreFocus();
    LRESULT onControlColor(HDC dc, HWND control);
    void drawShape(const DRAWITEMSTRUCT &item) const;
    HWND controlWindow(Control control) const;
    void setColor(Control control, COLORREF &color, int bgr, BOOL erase);
    HWND selectedDrawerOption() const;

    DrawerController m_controller;
    HWND m_window = nullptr;
    HACCEL m_accelerators = nullptr;
    HWND m_status = nullptr;
    HWND m_label2 = nullptr;
    HWND m_shape1 = nullptr;
    HWND m_openButton = nullptr;
    HWND m_statusButton = nullptr;
    std::array<HWND, 8> m_drawerOption {};
    std::vector<HFONT> m_fonts;
    HWND m_savedFocus = nullptr;

    COLORREF m_statusTextColor = RGB(255, 0, 0);
    COLORREF m_shapeFillColor = RGB(0, 0, 0);
    COLORREF m_shapeBorderColor = RGB(0, 0, 0);
    bool m_cashDrawerEnabled = true;

    std::unique_ptr<AboutForm> m_aboutForm; // created at the first "About"
};
