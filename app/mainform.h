#pragma once

#include "controller/drawercontroller.h"
#include "controller/drawerview.h"

#include <QMainWindow>

#include <array>
#include <cstdint>
#include <functional>

class AboutForm;
class DrawerLibrary;
class QAction;
class QButtonGroup;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QRadioButton;
class QTimer;
class Shape;

// The drawer window: picks a drawer, shows whether its USB device answers and
// whether it is open, fires it open, and polls it every 100 ms. It is a view
// over DrawerController, which decides all that and holds the only library
// handle; the window forwards its events there.
class MainForm : public QMainWindow, private DrawerView {
    Q_OBJECT

public:
    // endProgram is called once, by whichever exit path runs first, after a
    // held handle has been given back. It must stop the program at once.
    MainForm(DrawerLibrary &library, std::function<void()> endProgram, QWidget *parent = nullptr);
    ~MainForm() override;

    std::int32_t drawerHandle() const { return m_controller.drawerHandle(); }
    // Not hidden by the view's setEnabled of a control.
    using QMainWindow::setEnabled;

public slots:
    void Timer1_Timer();
    void Status_Button_Click();
    void Open_Button_Click();
    void DrawerOption_Click(std::int16_t index);
    void mnuOpenDrawer_Click();
    void mnuStatusDrawer_Click();
    void mnuOnline_Click();
    void mnuExit_Click();
    void mnuAbout_Click();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Window definition (mainformlayout.cpp).
    void createControls();
    void createMenus();
    void arrangeTabOrder();

    // DrawerView: what the controller writes.
    void setCaption(Control control, std::string_view caption) override;
    void setTextColor(Control control, int bgr) override;
    void setFillColor(Control control, int bgr) override;
    void setBorderColor(Control control, int bgr) override;
    void setEnabled(Control control, bool enabled) override;
    void setTimerEnabled(bool enabled) override;
    void showAbout() override;
    void endProgram() override;

    QLabel *label(Control control) const;

    std::function<void()> m_endProgram;
    DrawerController m_controller;

    QPushButton *Status_Button = nullptr;
    QPushButton *Open_Button = nullptr;
    QGroupBox *Frame2 = nullptr;
    QLabel *Status = nullptr;
    std::array<QRadioButton *, 8> DrawerOption {};
    QButtonGroup *DrawerOptionGroup = nullptr;
    QTimer *Timer1 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label1 = nullptr;
    Shape *Shape1 = nullptr;

    QAction *mnuExit = nullptr;
    QMenu *mnuCashDrawer = nullptr;
    QAction *mnuOpenDrawer = nullptr;
    QAction *mnuStatusDrawer = nullptr;
    QAction *mnuOnline = nullptr;
    QMenu *mnuHelp = nullptr;
    QAction *mnuAbout = nullptr;

    AboutForm *m_aboutForm = nullptr; // created at the first "About"
};
