#include "mainform.h"

#include "about/aboutform.h"
#include "drawer/drawerlibrary.h"
#include "formunits.h"
#include "controller/global.h"
#include "shape.h"

#include <QAction>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>

MainForm::MainForm(DrawerLibrary &library, std::function<void()> endProgram, QWidget *parent)
    : QMainWindow(parent), m_library(library), m_endProgram(std::move(endProgram))
{
    createControls();
    createMenus();

    connect(Timer1, &QTimer::timeout, this, &MainForm::Timer1_Timer);
    connect(Status_Button, &QPushButton::clicked, this, &MainForm::Status_Button_Click);
    connect(Open_Button, &QPushButton::clicked, this, &MainForm::Open_Button_Click);
    connect(DrawerOptionGroup, &QButtonGroup::idClicked, this,
        [this](int id) { DrawerOption_Click(static_cast<std::int16_t>(id)); });
    connect(mnuOpenDrawer, &QAction::triggered, this, &MainForm::mnuOpenDrawer_Click);
    connect(mnuStatusDrawer, &QAction::triggered, this, &MainForm::mnuStatusDrawer_Click);
    connect(mnuOnline, &QAction::triggered, this, &MainForm::mnuOnline_Click);
    connect(mnuExit, &QAction::triggered, this, &MainForm::mnuExit_Click);
    connect(mnuAbout, &QAction::triggered, this, &MainForm::mnuAbout_Click);

    // Enabled from creation, so the first tick comes one interval from now.
    Timer1->start();

    Form_Load();

    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        adjustSize();
        setGeometry(QStyle::alignedRect(
            Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));
    }
}

MainForm::~MainForm()
{
    Form_Terminate();
}

// Display states. Each writes exactly its own properties, in a fixed order.

void MainForm::showDisconnected()
{
    Status->setText(QStringLiteral("USB Device NOT Connected!"));
    setStatusTextColor(FormUnits::Red);
    Shape1->setBorderColor(FormUnits::Black);
    Shape1->setFillColor(FormUnits::Black);
    Label2->setText(QStringLiteral("Offline"));
    setCommandsEnabled(false);
}

void MainForm::showConnected()
{
    Status->setText(QStringLiteral("USB Device Connected"));
    setStatusTextColor(FormUnits::Green);
    setCommandsEnabled(true);
}

void MainForm::showDrawerOpen()
{
    Label2->setText(QStringLiteral("Open"));
    Shape1->setFillColor(FormUnits::Green);
    Shape1->setBorderColor(FormUnits::Green);
}

void MainForm::showDrawerClosed()
{
    Label2->setText(QStringLiteral("Closed"));
    Shape1->setFillColor(FormUnits::Red);
    Shape1->setBorderColor(FormUnits::Red);
}

void MainForm::setStatusTextColor(int bgr)
{
    // Rewritten on every tick; an unchanged colour is not worth a palette
    // resolution.
    if (Status->palette().color(QPalette::WindowText) == FormUnits::bgrColor(bgr))
        return;
    QPalette palette = Status->palette();
    palette.setColor(QPalette::WindowText, FormUnits::bgrColor(bgr));
    Status->setPalette(palette);
}

void MainForm::setCommandsEnabled(bool enabled)
{
    Open_Button->setEnabled(enabled);
    Status_Button->setEnabled(enabled);
    mnuCashDrawer->menuAction()->setEnabled(enabled);
}

// Connection.

void MainForm::Form_Load()
{
    showDisconnected();
    DrawerHandle = 0;
}

void MainForm::EnsureConnected()
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

void MainForm::GoOffline()
{
    showDisconnected();
    // Unconditionally: after a failed acquisition this hands the library its
    // own failure value back, which it must accept.
    m_library.ReleaseDrawerHandle(DrawerHandle);
    DrawerHandle = 0;
}

void MainForm::Status_Button_Click()
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

void MainForm::Open_Button_Click()
{
    EnsureConnected();
    if (DrawerHandle == 0)
        return;
    // The drawer shows as open at the next refresh, not here.
    if (m_library.OpenDrawer(DrawerHandle) == 0)
        GoOffline();
}

void MainForm::Timer1_Timer()
{
    // Off for the whole refresh, then a full interval afresh: a slow library
    // call never lets ticks pile up.
    Timer1->stop();
    Status_Button_Click();
    Timer1->start();
}

void MainForm::DrawerOption_Click(std::int16_t index)
{
    Global::DrawerNumber = static_cast<std::uint8_t>(index);
    if (DrawerHandle > 0) {
        m_library.ReleaseDrawerHandle(DrawerHandle);
        DrawerHandle = 0;
    }
    Status_Button_Click();
}

void MainForm::mnuOpenDrawer_Click()
{
    Open_Button_Click();
}

void MainForm::mnuStatusDrawer_Click()
{
    Status_Button_Click();
}

void MainForm::mnuOnline_Click()
{
    Status_Button_Click();
}

void MainForm::mnuAbout_Click()
{
    if (!m_aboutForm)
        m_aboutForm = new AboutForm(this);
    // Modal: returns once the About window is hidden. Timer1 keeps polling
    // meanwhile, since the modal loop goes on delivering its ticks.
    m_aboutForm->exec();
}

// Ending.

void MainForm::mnuExit_Click()
{
    Exit();
}

void MainForm::closeEvent(QCloseEvent *event)
{
    Form_Unload(event);
}

void MainForm::Form_Unload(QCloseEvent *event)
{
    // The close is never refused.
    event->accept();
    Exit();
}

void MainForm::Form_Terminate()
{
    Exit();
}

void MainForm::Exit()
{
    // The program ends with the first exit path, so a later one (the window's
    // destruction after a close, say) must not give the handle back again.
    if (m_exited)
        return;
    m_exited = true;
    if (DrawerHandle > 0)
        m_library.ReleaseDrawerHandle(DrawerHandle);
    Timer1->stop();
    m_endProgram();
}
