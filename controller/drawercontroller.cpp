#include "drawercontroller.h"

#include "app/global.h"
#include "drawer/drawerlibrary.h"

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
    showDisconnected();
    DrawerHandle = 0;
}

void DrawerController::EnsureConnected()
{
    if (DrawerHandle > 0)
        return;
    DrawerHandle = m_library.GetDrawerHandle(Global::DrawerNumber);
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
    m_library.ReleaseDrawerHandle(DrawerHandle);
    DrawerHandle = 0;
}

void DrawerController::Status_Button_Click()
{
    EnsureConnected();
    if (DrawerHandle == 0)
        return;
    const std::int16_t status = m_library.GetDrawerStatus(DrawerHandle);
    if (status == 0) {
        GoOffline();
        return;
    }
    if (status == 2)
        showDrawerOpen();
    else
        showDrawerClosed();
}

void DrawerController::Open_Button_Click()
{
    EnsureConnected();
    if (DrawerHandle == 0)
        return;
    // The drawer shows as open at the next refresh, not here.
    if (m_library.OpenDrawer(DrawerHandle) == 0)
        GoOffline();
}

void DrawerController::Timer1_Timer()
{
    // Off for the whole refresh, then a full interval afresh: a slow library
    // call never lets ticks pile up.
    m_view.setTimerEnabled(false);
    Status_Button_Click();
    // An error box or the end of the program may have come during the
    // refresh; an ended program polls no more.
    if (!m_exited)
        m_view.setTimerEnabled(true);
}

void DrawerController::DrawerOption_Click(std::int16_t index)
{
    Global::DrawerNumber = static_cast<std::uint8_t>(index);
    if (DrawerHandle > 0) {
        m_library.ReleaseDrawerHandle(DrawerHandle);
        DrawerHandle = 0;
    }
    Status_Button_Click();
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
    m_view.showAbout();
}

// Ending.

void DrawerController::mnuExit_Click()
{
    Exit();
}

void DrawerController::Form_Unload()
{
    Exit();
}

void DrawerController::Form_Terminate()
{
    Exit();
}

void DrawerController::Exit()
{
    // The program ends with the first exit path, so a later one (the window's
    // destruction after a close, say) must not give the handle back again.
    if (m_exited)
        return;
    m_exited = true;
    if (DrawerHandle > 0)
        m_library.ReleaseDrawerHandle(DrawerHandle);
    m_view.setTimerEnabled(false);
    m_view.endProgram();
}
