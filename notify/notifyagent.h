// kestrin-drawer-notify's agent: follows the drawer service's LeftOpen
// alarms on the system bus and shows each as a desktop notification on the
// session bus, which it withdraws when the drawer closes.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QObject>

class NotifyAgent : public QObject {
    Q_OBJECT

public:
    NotifyAgent(QDBusConnection system, QDBusConnection session, QObject *parent = nullptr);
    // False when the signals cannot be followed.
    bool start();

private slots:
    void leftOpen(const QDBusMessage &signal);
    void propertiesChanged(const QDBusMessage &signal);
    void serviceGone();

private:
    void withdraw(int drawer);

    QDBusConnection m_system;
    QDBusConnection m_session;
    QHash<int, uint> m_shown; // drawer: the notification showing its alarm
};

// "Drawer 2 has been open for 3 minutes." and the like.
QString leftOpenText(int drawer, qulonglong seconds);
