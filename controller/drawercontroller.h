// The drawer window's behaviour, without a toolkit: when a library handle is
// taken and given back, which display state every library result turns
// into, and what each button, option button, menu item and timer tick does.
// A window forwards its events here and lets the controller write its
// controls through DrawerView.
#pragma once

#include "drawerview.h"

#include <cstdint>

class DrawerLibrary;

class DrawerController {
public:
    DrawerController(DrawerLibrary &library, DrawerView &view);

    std::int32_t drawerHandle() const { return DrawerHandle; }
    // Exit has run: the program is ending.
    bool hasExited() const { return m_exited; }
    // An error escaped a handler: the program is ending with its message.
    bool hasFailed() const { return m_failed; }
    // Either: no handler runs any more. A library that runs the window's
    // messages during a call may bring this about in the middle of one, so
    // a handler asks again after every library call.
    bool hasEnded() const { return m_exited || m_failed; }

    // Event handlers, named after their control and event. Once the
    // program is ending, by Exit or by an error that escaped a handler, they
    // do nothing: a window may still deliver an event that was on its way.
    void Form_Load();
    void Timer1_Timer();
    void Status_Button_Click();
    void Open_Button_Click();
    void DrawerOption_Click(std::int16_t index);
    void mnuOpenDrawer_Click();
    void mnuStatusDrawer_Click();
    void mnuOnline_Click();
    void mnuExit_Click();
    void mnuAbout_Click();
    // The window closed by the user; the close is never refused.
    void Form_Unload();
    // The window object destroyed (or the session ending).
    void Form_Terminate();

private:
    template<typename Body> void handle(Body body);
    void EnsureConnected();
    void GoOffline();
    void GiveBackHandle();
    void Exit();

    void showDisconnected();
    void showConnected();
    void showDrawerOpen();
    void showDrawerClosed();
    void setCommandsEnabled(bool enabled);

    DrawerLibrary &m_library;
    DrawerView &m_view;
    std::int32_t DrawerHandle = 0;
    bool m_exited = false;
    bool m_failed = false;
};
