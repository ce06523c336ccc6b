// kestrin-drawer-web: the drawers for web apps on this machine. A client of
// the drawer service on the system bus, and a small HTTP and WebSocket
// server on the loopback addresses for the browser.

#include "drawerbus.h"
#include "webbridge.h"

#include "config/config.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QLoggingCategory>

#include <cstdio>

#include <systemd/sd-daemon.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrin-drawer-web"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRIN_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The drawers for web apps: an HTTP and WebSocket bridge to the drawer service."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Listen on this port instead of the [web] section's (0: any free one)."),
        QStringLiteral("PORT"));
    parser.addOption(portOption);
    parser.process(app);

    const std::string configPath = drawerdriver::drawerConfigPath();
    const drawerdriver::DrawerConfig config = drawerdriver::loadDrawerConfig(configPath);
    for (const std::string &problem : config.problems)
        std::fprintf(stderr, "kestrin-drawer-web: %s\n", problem.c_str());
    int port = config.web.port;
    if (parser.isSet(portOption)) {
        bool ok = false;
        port = parser.value(portOption).toInt(&ok);
        if (!ok || port < 0 || port > 65535) {
            std::fprintf(stderr, "kestrin-drawer-web: --port takes 0 to 65535\n");
            return 2;
        }
    }
    QStringList origins;
    for (const std::string &origin : config.web.allowOrigins)
        origins.append(QString::fromStdString(origin));

    // Our own lines say what a refused WebSocket was; Qt's add nothing.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "kestrin-drawer-web: cannot reach the system bus: %s\n",
            qPrintable(bus.lastError().message()));
        return 1;
    }
    DrawerBus drawers(bus);
    WebBridge bridge(&drawers, TokenStore(), origins);
    QString error;
    const quint16 listening = bridge.listenOnLoopback(quint16(port), &error);
    if (listening == 0) {
        std::fprintf(stderr, "kestrin-drawer-web: %s\n", qPrintable(error));
        return 1;
    }
    drawers.start();
    std::printf("kestrin-drawer-web: listening on http://127.0.0.1:%u/\n", listening);
    std::fflush(stdout);
    sd_notify(0, "READY=1");
    return app.exec();
}
