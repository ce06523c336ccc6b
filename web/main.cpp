// kestrin-drawer-web: the drawers for web apps on this machine. A client of
// the drawer service on the system bus, and a small HTTP and WebSocket
// server on the loopback addresses for the browser.

#include "drawerbus.h"
#include "webbridge.h"

#include "config/config.h"
#include "config/logwriter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QLoggingCategory>
#include <QMap>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <syslog.h>
#include <systemd/sd-daemon.h>

namespace {

// Under systemd, whose journal reads standard error: each message once, with
// its priority, as sd-daemon.h writes it.
void toJournal(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    static const QMap<QtMsgType, int> priorities {{QtDebugMsg, LOG_DEBUG}, {QtInfoMsg, LOG_INFO},
        {QtWarningMsg, LOG_WARNING}, {QtCriticalMsg, LOG_ERR}, {QtFatalMsg, LOG_CRIT}};
    std::fputs(
        drawerdriver::withPriority(priorities.value(type, LOG_INFO), message.toStdString()).c_str(),
        stderr);
}

// Under systemd with WatchdogSec=, the event loop says at half the interval
// that it still runs; a bridge that hangs is restarted. False if the
// interval systemd gave cannot be read.
bool startWatchdog(QTimer &timer)
{
    std::uint64_t intervalUs = 0;
    const int r = sd_watchdog_enabled(0, &intervalUs);
    if (r < 0) {
        qCritical("kestrin-drawer-web: cannot start the watchdog: %s", std::strerror(-r));
        return false;
    }
    if (r > 0) {
        QObject::connect(&timer, &QTimer::timeout, [] { sd_notify(0, "WATCHDOG=1"); });
        timer.start(int(std::max<std::uint64_t>(intervalUs / 2000, 1)));
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (drawerdriver::standardErrorIsJournal()) {
        qInstallMessageHandler(toJournal);
        drawerdriver::writeLogLinesToJournal("kestrin-drawer-web");
    }
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
    for (const std::string &problem : config.problems) {
        if (config.unread)
            qCritical("kestrin-drawer-web: %s", problem.c_str());
        else
            qWarning("kestrin-drawer-web: %s", problem.c_str());
    }
    int port = config.web.port;
    if (parser.isSet(portOption)) {
        bool ok = false;
        port = parser.value(portOption).toInt(&ok);
        if (!ok || port < 0 || port > 65535) {
            qCritical("kestrin-drawer-web: --port takes 0 to 65535");
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
        qCritical("kestrin-drawer-web: cannot reach the system bus: %s",
            qPrintable(bus.lastError().message()));
        return 1;
    }
    DrawerBus drawers(bus);
    WebBridge bridge(&drawers, TokenStore(), origins);
    QString error;
    const quint16 listening = bridge.listenOnLoopback(quint16(port), &error);
    if (listening == 0) {
        qCritical("kestrin-drawer-web: %s", qPrintable(error));
        return 1;
    }
    QTimer watchdog;
    if (!startWatchdog(watchdog))
        return 1;
    drawers.start();
    std::printf("kestrin-drawer-web: listening on http://127.0.0.1:%u/\n", listening);
    std::fflush(stdout);
    sd_notify(0, "READY=1");
    return app.exec();
}
