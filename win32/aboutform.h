// The About window on Windows: the title line, the version of this window's
// design and the USB emblem, shown modally over the drawer window and
// hidden, never destroyed, by "Close".
#pragma once

#include "formwindow.h"

#include <windows.h>

#include <vector>

class AboutForm {
public:
    // Creates the window, hidden, owned by owner.
    explicit AboutForm(HWND owner);
    ~AboutForm();
    AboutForm(const AboutForm &) = delete;
    AboutForm &operator=(const AboutForm &) = delete;

    // Shows the window with its owner disabled, and returns once it is
    // hidden again (or the program ends). Other windows' messages, the
    // owner's timer among them, go on being handled meanwhile.
    void showModal();

    HWND window() const { return m_window; }

    // Child window identifiers, away from IDOK and IDCANCEL.
    enum ControlId : int { Command1Id = 100, Label1Id, Label2Id, Label3Id, Picture1Id };

private:
    void createWindow();
    void createControls();
    void centreOverOwner();

    template<typename Form>
    friend LRESULT CALLBACK FormWindow::windowProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void onCommand(WORD id);
    void Command1_Click();
    void hide();
    void drawPicture(const DRAWITEMSTRUCT &item) const;

    HWND m_owner = nullptr;
    HWND m_window = nullptr;
    HWND m_command1 = nullptr;
    HBITMAP m_emblem = nullptr;
    std::vector<HFONT> m_fonts;
};
