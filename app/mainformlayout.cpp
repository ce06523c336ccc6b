// The drawer window as it is created: controls, geometry, fonts, tab order and
// menus. Nothing here reacts to anything; mainform.cpp holds the behaviour.

#include "mainform.h"

#include "formunits.h"
#include "shape.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

using FormUnits::formFont;
using FormUnits::twips;
using FormUnits::twipsRect;

namespace {

QPushButton *makeButton(QWidget *parent, const char *name, const QString &caption, QRect geometry)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    button->setFont(formFont(19.5, true));
    // Outside a dialog Qt presses a button on Enter only when it is
    // auto-default; it is never the window's default button here.
    button->setAutoDefault(true);
    button->setDefault(false);
    return button;
}

QLabel *makeLabel(QWidget *parent, const char *name, const QString &caption, QRect geometry,
    qreal pointSize, Qt::Alignment alignment)
{
    auto *label = new QLabel(caption, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setFont(formFont(pointSize));
    label->setAlignment(alignment);
    return label;
}

struct DrawerOptionPlace {
    int index;
    int left;
    int top;
    int width;
    int tabIndex;
};

// In creation order, which is not index order; only the index names a drawer.
constexpr DrawerOptionPlace DrawerOptionPlaces[] = {
    {7, 4080, 5160, 1215, 3},
    {6, 2760, 5160, 1215, 4},
    {5, 1440, 5160, 1335, 5},
    {4, 120, 5160, 1215, 10},
    {0, 120, 4800, 1215, 6},
    {1, 1440, 4800, 1335, 7},
    {2, 2760, 4800, 1215, 8},
    {3, 4080, 4800, 1215, 9},
};

} // namespace

void MainForm::createControls()
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Kestrin Cash Drawer USB Controller"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
        | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(twips(5400), twips(5640));
    setCentralWidget(client);

    Status_Button = makeButton(client, "Status_Button", QStringLiteral("Cash Drawer Status"),
        twipsRect(240, 3240, 4935, 735));
    Open_Button = makeButton(
        client, "Open_Button", QStringLiteral("Open Cash Drawer"), twipsRect(240, 2400, 4935, 735));

    // The only control left in the standard dialog font.
    Frame2 = new QGroupBox(QStringLiteral("Status of System"), client);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setGeometry(twipsRect(240, 3960, 4935, 735));
    Status = makeLabel(Frame2, "Status", QStringLiteral("USB Device NOT connected!"),
        twipsRect(120, 240, 4695, 375), 13.5, Qt::AlignLeft | Qt::AlignVCenter);
    setTextColor(Control::Status, FormUnits::Red);

    DrawerOptionGroup = new QButtonGroup(this);
    DrawerOptionGroup->setObjectName(QStringLiteral("DrawerOption"));
    DrawerOptionGroup->setExclusive(true);
    for (const DrawerOptionPlace &place : DrawerOptionPlaces) {
        if (place.index == 0) {
            Timer1 = new QTimer(this);
            Timer1->setObjectName(QStringLiteral("Timer1"));
            Timer1->setInterval(100);
            // A coarse timer may fire up to 5 % early; the first tick must
            // not come before a full interval.
            Timer1->setTimerType(Qt::PreciseTimer);
        }
        auto *option = new QRadioButton(QStringLiteral("Drawer #%1").arg(place.index + 1), client);
        option->setObjectName(QStringLiteral("DrawerOption"));
        option->setProperty("index", place.index);
        option->setGeometry(twipsRect(place.left, place.top, place.width, 375));
        option->setFont(formFont(9.75));
        DrawerOptionGroup->addButton(option, place.index);
        DrawerOption[place.index] = option;
    }
    DrawerOption[0]->setChecked(true);

    Frame1 = new QGroupBox(QStringLiteral("Status of Cash Drawer"), client);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twipsRect(240, 120, 4935, 2055));
    Frame1->setFont(formFont(12));
    Label2 = makeLabel(Frame1, "Label2", QStringLiteral("Offline"),
        twipsRect(1200, 1080, 3615, 495), 24, Qt::AlignCenter);
    Label1 = makeLabel(Frame1, "Label1", QStringLiteral("Cash Drawer"),
        twipsRect(1200, 600, 3615, 495), 24, Qt::AlignCenter);
    Shape1 = new Shape(Frame1);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setGeometry(twipsRect(360, 480, 735, 1215));
    Shape1->setFillColor(FormUnits::Black);
    Shape1->setBorderColor(FormUnits::Black);

    arrangeTabOrder();
}

void MainForm::arrangeTabOrder()
{
    const QList<QWidget *> order
        = {DrawerOption[7], DrawerOption[6], DrawerOption[5], DrawerOption[0], DrawerOption[1],
            DrawerOption[2], DrawerOption[3], DrawerOption[4], Open_Button, Status_Button};
    // QWidget::setTabOrder(a, b) moves only b, and leaves it where it is when
    // b already comes next after a going round the chain, even round past
    // the window itself. Chaining the pairs front to back therefore leaves
    // "Cash Drawer Status", created first, ahead of "Drawer #8" when counted
    // from the window. Putting every later control straight behind the first
    // one, from the last backwards, takes them all out from in front of it:
    // from the window, the first control that takes the focus is the first
    // one here.
    for (qsizetype i = order.size() - 1; i > 0; --i)
        QWidget::setTabOrder(order.first(), order[i]);
}

void MainForm::createMenus()
{
    QMenuBar *bar = menuBar();
    // The menu bar belongs inside the window: the client area sits below it.
    bar->setNativeMenuBar(false);

    mnuExit = bar->addAction(QStringLiteral("&Exit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));

    mnuCashDrawer = bar->addMenu(QStringLiteral("&Cash Drawer"));
    mnuCashDrawer->setObjectName(QStringLiteral("mnuCashDrawer"));
    mnuCashDrawer->menuAction()->setObjectName(QStringLiteral("mnuCashDrawer"));
    mnuOpenDrawer = mnuCashDrawer->addAction(QStringLiteral("&Open Drawer"));
    mnuOpenDrawer->setObjectName(QStringLiteral("mnuOpenDrawer"));
    mnuOpenDrawer->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    mnuStatusDrawer = mnuCashDrawer->addAction(QStringLiteral("Get &Status of Drawer"));
    mnuStatusDrawer->setObjectName(QStringLiteral("mnuStatusDrawer"));
    mnuStatusDrawer->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));

    mnuOnline = bar->addAction(QStringLiteral("&Online"));
    mnuOnline->setObjectName(QStringLiteral("mnuOnline"));

    mnuHelp = bar->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelp->menuAction()->setObjectName(QStringLiteral("mnuHelp"));
    mnuAbout = mnuHelp->addAction(QStringLiteral("&About"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));

    // The client area is fixed, so the window is too: no resizing, and
    // without a size range the window manager offers no maximise.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}
