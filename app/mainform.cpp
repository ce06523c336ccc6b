#include "mainform.h"

#include "about/aboutform.h"
#include "formunits.h"
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
    : QMainWindow(parent), m_endProgram(std::move(endProgram)), m_controller(library, *this)
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

    m_controller.Form_Load();

    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        adjustSize();
        setGeometry(QStyle::alignedRect(
            Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));
    }
}

MainForm::~MainForm()
{
    m_controller.Form_Terminate();
}

// Events, forwarded to the controller.

void MainForm::Timer1_Timer()
{
    m_controller.Timer1_Timer();
}

void MainForm::Status_Button_Click()
{
    m_controller.Status_Button_Click();
}

void MainForm::Open_Button_Click()
{
    m_controller.Open_Button_Click();
}

void MainForm::DrawerOption_Click(std::int16_t index)
{
    m_controller.DrawerOption_Click(index);
}

void MainForm::mnuOpenDrawer_Click()
{
    m_controller.mnuOpenDrawer_Click();
}

void MainForm::mnuStatusDrawer_Click()
{
    m_controller.mnuStatusDrawer_Click();
}

void MainForm::mnuOnline_Click()
{
    m_controller.mnuOnline_Click();
}

void MainForm::mnuExit_Click()
{
    m_controller.mnuExit_Click();
}

void MainForm::mnuAbout_Click()
{
    m_controller.mnuAbout_Click();
}

void MainForm::closeEvent(QCloseEvent *event)
{
    // The close is never refused.
    event->accept();
    m_controller.Form_Unload();
}

// What the controller writes.

QLabel *MainForm::label(Control control) const
{
    return control == Control::Label2 ? Label2 : Status;
}

void MainForm::setCaption(Control control, std::string_view caption)
{
    label(control)->setText(QString::fromUtf8(caption.data(), qsizetype(caption.size())));
}

void MainForm::setTextColor(Control control, int bgr)
{
    QLabel *text = label(control);
    // Rewritten on every tick; an unchanged colour is not worth a palette
    // resolution.
    if (text->palette().color(QPalette::WindowText) == FormUnits::bgrColor(bgr))
        return;
    QPalette palette = text->palette();
    palette.setColor(QPalette::WindowText, FormUnits::bgrColor(bgr));
    text->setPalette(palette);
}

void MainForm::setFillColor(Control, int bgr)
{
    Shape1->setFillColor(bgr);
}

void MainForm::setBorderColor(Control, int bgr)
{
    Shape1->setBorderColor(bgr);
}

void MainForm::setEnabled(Control control, bool enabled)
{
    switch (control) {
    case Control::Open_Button:
        Open_Button->setEnabled(enabled);
        break;
    case Control::Status_Button:
        Status_Button->setEnabled(enabled);
        break;
    case Control::mnuCashDrawer:
        mnuCashDrawer->menuAction()->setEnabled(enabled);
        break;
    default:
        break;
    }
}

void MainForm::setTimerEnabled(bool enabled)
{
    if (enabled)
        Timer1->start();
    else
        Timer1->stop();
}

void MainForm::showAbout()
{
    if (!m_aboutForm)
        m_aboutForm = new AboutForm(this);
    // Modal: the modal loop goes on delivering Timer1's ticks.
    m_aboutForm->exec();
}

void MainForm::endProgram()
{
    m_endProgram();
}
