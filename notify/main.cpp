// kestrin-drawer-notify: a small agent in the desktop session, started by
// XDG autostart, that shows a notification when a cash drawer is left open
// (the drawer service's LeftOpen alarm) and withdraws it when the drawer
// closes.

#include "notifyagent.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: kestrin-drawer-notify\n"
                    "Shows a desktop notification when a cash drawer served by kestrin-drawerd\n"
                    "has been left open longer than its alarm-after setting, and withdraws it\n"
                    "when the drawer closes. Started with the desktop session.\n");
        return 0;
    }
    QCoreApplication app(argc, argv);
    const QDBusConnection system = QDBusConnection::systemBus();
    const QDBusConnection session = QDBusConnection::sessionBus();
    if (!system.isConnected() || !session.isConnected()) {
        std::fprintf(stderr, "kestrin-drawer-notify: cannot reach the %s bus: %s\n",
            system.isConnected() ? "session" : "system",
            qPrintable((system.isConnected() ? session : system).lastError().message()));
        return 1;
    }
    NotifyAgent agent(system, session);
    if (!agent.start()) {
        std::fprintf(stderr, "kestrin-drawer-notify: cannot follow the drawer service's alarms\n");
        return 1;
    }
    return app.exec();
}
