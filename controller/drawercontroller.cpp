#include "drawercontroller.h"

#include "drawer/drawerlibrary.h"
#include "global.h"

namespace {

// Colours as 0xBBGGRR.
constexpr int Red = 0x0000FF;
constexpr int Green = 0x00FF00;
constexpr int Black = 0x000000;

} // namespace

using Control = DrawerView::Control;

DrawerController::DrawerController(DrawerLibrary &library, DrawerView &view)
    : m_library(library), m_view(view)
{
}

// Runs a handler's body while the program goes on. An error is not handled
// here, only noted on its way out: until it has ended the program, no
// handler runs and the timer stays off, so that no tick calls the library
// again while the error is shown.
template<typename Body> void DrawerController::handle(Body body)
{
    if (hasEnded())
        return;
    try {
        body();
    } catch (...) {
        if (!m_failed) {
            m_failed = true;
            m_view.setTimerEnabled(false);
        }
        throw;
    }
}

// Display states. Each writes exactly its own properties, in a fixed order.

void DrawerController::showDisconnected()
{
    m_view.setCaption(Control::Status, "USB Device NOT Connected!");
    m_view.setTextColor(Control::Status, Red);
    m_view.setBorderColor(Control::Shape1, Black);
    m_view.setFillColor(Control::Shape1, Black);
    m_view.setCaption(Control::Label2, "Offline");
    setCommandsEnabled(false);
}

void DrawerController::showConnected()
{
    m_view.setCaption(Control::Status, "USB Device Connected");
    m_view.setTextColor(Control::Status, Green);
    setCommandsEnabled(true);
}

void DrawerController::showDrawerOpen()
{
    m_view.setCaption(Control::Label2, "Open");
    m_view.setFillColor(Control::Shape1, Green);
    m_view.setBorderColor(Control::Shape1, Green);
}

void DrawerController::showDrawerClosed()
{
    m_view.setCaption(Control::Label2, "Closed");
    m_view.setFillColor(Control::Shape1, Red);
    m_view.setBorderColor(Control::Shape1, Red);
}

void DrawerController::setCommandsEnabled(bool enabled)
{
    m_view.setEnabled(Control::Open_Button, enabled);
    m_view.setEnabled(Control::Status_Button, enabled);
    m_view.setEnabled(Control::mnuCashDrawer, enabled);
}

// Connection.

void DrawerController::Form_Load()
{
    handle([this] {
        showDisconnected();
        DrawerHandle = 0;
    });
}

void DrawerController::EnsureConnected()
{
    if (DrawerHandle > 0)
        return;
    const std::int32_t handle = m_library.GetDrawerHandle(Global::DrawerNumber);
    if (hasEnded()) {
        // Exit ran during the call and saw no handle to give back.
        if (handle > 0)
            m_library.ReleaseDrawerHandle(handle);
        return;
    }
    DrawerHandle = handle;
    if (DrawerHandle <= 0) {
        GoOffline();
        return;
    }
    showConnected();
    // Paints the drawer state at once; this nested refresh finds the handle
    // held and goes straight to the status call.
    Status_Button_Click();
}

void DrawerController::GoOffline()
{
    showDisconnected();
    // Unconditionally: after a failed acquisition this hands the library its
    // own failure value back, which it must accept.
    GiveBackHandle();
}

void DrawerController::GiveBackHandle()
{
    // Forgotten before the call, so that an Exit during it gives nothing
    // back a second time.
    const std::int32_t handle = DrawerHandle;
    DrawerHandle = 0;
    m_library.ReleaseDrawerHandle(handle);
}

void DrawerController::Status_Button_Click()
{
    handle([this] {
        EnsureConnected();
        if (DrawerHandle == 0)
            return;
        const std::int16_t status = m_library.GetDrawerStatus(DrawerHandle);
        if (hasEnded())
            return;
        if (status == 0) {
            GoOffline();
            return;
        }
        if (status == 2)
            showDrawerOpen();
        else
            showDrawerClosed();
    });
}

void DrawerController::Open_Button_Click()
{
    handle([this] {
        EnsureConnected();
        if (DrawerHandle == 0)
            return;
        // The drawer shows as open at the next refresh, not here.
        const std::int16_t result = m_library.OpenDrawer(DrawerHandle);
        if (result == 0 && !hasEnded())
            GoOffline();
    });
}

void DrawerController::Timer1_Timer()
{
    handle([this] {
        // Off for the whole refresh, then a full interval afresh: a slow
        // library call never lets ticks pile up.
        m_view.setTimerEnabled(false);
        Status_Button_Click();
        // A library that runs the window's messages while it works may have
        // let the program end meanwhile; an ended program polls no more.
        if (!hasEnded())
            m_view.setTimerEnabled(true);
    });
}

void DrawerController::DrawerOption_Click(std::int16_t index)
{
    handle([this, index] {
        Global::DrawerNumber = static_cast<std::uint8_t>(index);
        if (DrawerHandle > 0)
            GiveBackHandle();
        Status_Button_Click();
    });
}

void DrawerController::mnuOpenDrawer_Click()
{
    Open_Button_Click();
}

void DrawerController::mnuStatusDrawer_Click()
{
    Status_Button_Click();
}

void DrawerController::mnuOnline_Click()
{
    Status_Button_Click();
}

void DrawerController::mnuAbout_Click()
{
    // Modal: returns once the About window is hidden. Timer1 keeps polling
    // meanwhile.
    handle([this] { m_view.showAbout(); });
}

// Ending.

void DrawerController::mnuExit_Click()
{
    handle([this] { Exit(); });
}

void DrawerController::Form_Unload()
{
    handle([this] { Exit(); });
}

void DrawerController::Form_Terminate()
{
    handle([this] { Exit(); });
}

void DrawerController::Exit()
{
    // The program ends with the first exit path, so a later one (the window's
    // destruction after a close, say) runs nothing and gives no handle back
    // again.
    m_exited = true;
    if (DrawerHandle > 0)
        GiveBackHandle();
    m_view.setTimerEnabled(false);
    m_view.endProgram();
}
