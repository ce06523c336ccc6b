#include "aboutform.h"

#include "app/formunits.h"
#include "picturebox.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

using FormUnits::formFont;
using FormUnits::twips;
using FormUnits::twipsRect;

namespace {

QLabel *makeLabel(
    QWidget *parent, const char *name, const QString &caption, QRect geometry, qreal pointSize)
{
    auto *label = new QLabel(caption, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setFont(formFont(pointSize, true));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

} // namespace

AboutForm::AboutForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About USB Cash Drawer Controller"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
        | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(twips(4815), twips(2955));
    setSizeGripEnabled(false);

    Picture1 = new PictureBox(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(twipsRect(1560, 600, 3135, 1575));
    Picture1->setPicture(QStringLiteral(":/usb-emblem.svg"));
    Picture1->setFocusPolicy(Qt::StrongFocus);

    Command1 = new QPushButton(QStringLiteral("&Close"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twipsRect(3120, 2280, 1575, 615));
    Command1->setFont(formFont(13.5));
    // Not the window's default button: Enter presses it only while it holds
    // the focus, which an auto-default button does in a dialog.
    Command1->setDefault(false);
    Command1->setAutoDefault(true);
    connect(Command1, &QPushButton::clicked, this, &AboutForm::Command1_Click);

    // The version of this window's own design, not the program's version.
    Label3
        = makeLabel(this, "Label3", QStringLiteral("2.0.0"), twipsRect(120, 1920, 975, 255), 9.75);
    Label2 = makeLabel(
        this, "Label2", QStringLiteral("Version:"), twipsRect(120, 1680, 975, 255), 9.75);
    Label1 = makeLabel(this, "Label1", QStringLiteral("Kestrin Cash Drawer USB Controller"),
        twipsRect(120, 120, 4695, 495), 13.5);

    QWidget::setTabOrder(Command1, Picture1);
}

void AboutForm::Command1_Click()
{
    // Hidden, not destroyed; hiding also ends the modal showing.
    hide();
}

void AboutForm::showEvent(QShowEvent *event)
{
    // "Close" comes first in the tab order, so it holds the focus at every
    // opening, wherever the focus was left last time.
    Command1->setFocus(Qt::TabFocusReason);
    QDialog::showEvent(event);
}

void AboutForm::keyPressEvent(QKeyEvent *event)
{
    // There is neither a cancel nor a default button: Esc closes nothing, and
    // Enter reaches the window only when "Close" does not hold the focus
    // (which presses it itself), so it presses nothing.
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
            event->accept();
            return;
        }
        break;
    default:
        break;
    }
    QDialog::keyPressEvent(event);
}
