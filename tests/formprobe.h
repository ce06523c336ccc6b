// Finds the drawer window's controls by object name and reads what they show.
#pragma once

#include "app/formunits.h"
#include "app/shape.h"

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

struct FormProbe {
    QWidget *form;

    template<typename T> T *find(const char *name) const
    {
        T *child = form->findChild<T *>(QLatin1String(name));
        if (!child)
            qFatal("no control named %s", name);
        return child;
    }

    QRadioButton *drawerOption(int index) const
    {
        for (QRadioButton *option :
            form->findChildren<QRadioButton *>(QStringLiteral("DrawerOption")))
            if (option->property("index").toInt() == index)
                return option;
        qFatal("no DrawerOption with index %d", index);
        return nullptr;
    }

    QString status() const { return find<QLabel>("Status")->text(); }
    int statusColor() const
    {
        return bgr(find<QLabel>("Status")->palette().color(QPalette::WindowText));
    }
    QString drawerState() const { return find<QLabel>("Label2")->text(); }
    int fill() const { return find<Shape>("Shape1")->fillColor(); }
    int border() const { return find<Shape>("Shape1")->borderColor(); }
    bool openEnabled() const { return find<QPushButton>("Open_Button")->isEnabled(); }
    bool statusEnabled() const { return find<QPushButton>("Status_Button")->isEnabled(); }
    bool cashDrawerMenuEnabled() const
    {
        return find<QMenu>("mnuCashDrawer")->menuAction()->isEnabled();
    }
    QTimer *timer() const { return find<QTimer>("Timer1"); }

    bool showsDisconnected() const
    {
        return status() == QLatin1String("USB Device NOT Connected!")
            && statusColor() == FormUnits::Red && drawerState() == QLatin1String("Offline")
            && fill() == FormUnits::Black && border() == FormUnits::Black && !openEnabled()
            && !statusEnabled() && !cashDrawerMenuEnabled();
    }
    bool showsConnected() const
    {
        return status() == QLatin1String("USB Device Connected")
            && statusColor() == FormUnits::Green && openEnabled() && statusEnabled()
            && cashDrawerMenuEnabled();
    }

    static int bgr(const QColor &color)
    {
        return color.red() | (color.green() << 8) | (color.blue() << 16);
    }
};
