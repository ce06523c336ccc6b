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
    // Neither the default button nor one that becomes it: a dialog makes an
    // auto-default button its default as soon as it takes the focus, and
    // draws it so. Such a button no longer presses itself on Enter, so the
    // event filter below does that while it holds the focus.
    Command1->setAutoDefault(false);
    Command1->setDefault(false);
    Command1->installEventFilter(this);
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

bool AboutForm::eventFilter(QObject *watched, QEvent *event)
{
    // Enter on the focused "Close" presses it, as Space does.
    if (watched == Command1 && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool enter = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (enter && Command1->isEnabled()) {
            Command1->click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void AboutForm::keyPressEvent(QKeyEvent *event)
{
    // There is neither a cancel nor a default button: Esc closes nothing, and
    // Enter reaches the window only when "Close" does not hold the focus
    // (the event filter takes it there), so it presses nothing.
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
