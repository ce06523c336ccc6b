// web-bench: the web bridge's figures, with the drawer service on a private
// bus and a printer played on 127.0.0.1. Lines of "name median p99 max
// count", as driver-bench prints them:
//   web sensor-change    the printer's sensor to the WebSocket message, ms
//   web kick-delivery    POST …/open to the kick at the printer, ms
//   web idle-cpu N       the bridge's CPU while idle with N clients, % of a core
//
//   web-bench SERVICE BRIDGE CTL

#include "support/fakenetworkprinter.h"
#include "support/privatesystembus.h"
#include "support/rawhttp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

void print(const char *name, std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    auto at = [&](double fraction) {
        return values.empty() ? 0.0 : values[std::size_t(fraction * double(values.size() - 1))];
    };
    std::printf("%s %.3f %.3f %.3f %zu\n", name, at(0.5), at(0.99), at(1.0), values.size());
}

// utime + stime of a process, in seconds.
double cpuSeconds(qint64 pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stod(field);
    return ticks / double(::sysconf(_SC_CLK_TCK));
}

QWebSocket *follower(quint16 port, QObject *parent)
{
    auto *socket = new QWebSocket(
        QStringLiteral("https://pos.example"), QWebSocketProtocol::VersionLatest, parent);
    socket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/v1/events").arg(port)));
    return socket;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: web-bench SERVICE BRIDGE CTL\n");
        return 2;
    }
    QTemporaryDir home;
    FakeNetworkPrinter printer;
    QFile config(home.filePath(QStringLiteral("drawers.conf")));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("[drawer 1]\ndevice = %1\nsensor = open-high\npulse-on = 20\n"
                                "pulse-off = 30\n[web]\nallow-origin = https://pos.example\n")
                     .arg(QString::fromStdString(printer.address()))
                     .toUtf8());
    config.close();
    qputenv("KESTRIN_DRAWERS_CONF", QFile::encodeName(config.fileName()));
    qputenv("KESTRIN_WEB_TOKENS", QFile::encodeName(home.filePath(QStringLiteral("tokens"))));
    qputenv("STATE_DIRECTORY", QFile::encodeName(home.path())); // the service's history
    PrivateSystemBus bus;
    const QString failed = bus.start(home.path(), QProcessEnvironment::systemEnvironment());
    if (!failed.isEmpty()) {
        std::fprintf(stderr, "web-bench: %s\n", qPrintable(failed));
        return 1;
    }
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.toLocal8Bit());
    QProcess ctl;
    ctl.start(QString::fromLocal8Bit(argv[3]),
        {QStringLiteral("token"), QStringLiteral("add"), QStringLiteral("bench")});
    ctl.waitForFinished();
    const QByteArray token = ctl.readAllStandardOutput().trimmed();
    QProcess bridge;
    bridge.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bridge.start(QString::fromLocal8Bit(argv[2]), {QStringLiteral("--port"), QStringLiteral("0")});
    bridge.waitForReadyRead(10000);
    const auto match = QRegularExpression(QStringLiteral(":(\\d+)/"))
                           .match(QString::fromLatin1(bridge.readAll()));
    const quint16 port = quint16(match.captured(1).toUInt());
    if (port == 0 || token.isEmpty()) {
        std::fprintf(stderr, "web-bench: the bridge or its token did not start\n");
        return 1;
    }

    // The sensor, flipped, to the change at one client.
    QWebSocket *client = follower(port, &app);
    QElapsedTimer clock;
    int changes = 0;
    QObject::connect(client, &QWebSocket::textMessageReceived,
        [&](const QString &text) { changes += text.contains(QLatin1String("\"change\"")); });
    if (!QTest::qWaitFor(
            [&] { return client->state() == QAbstractSocket::ConnectedState; }, 10000)) {
        std::fprintf(stderr, "web-bench: no WebSocket to the bridge\n");
        return 1;
    }
    QTest::qWait(1000);
    std::vector<double> sensor;
    for (int i = 0; i < 40; ++i) {
        const int before = changes;
        clock.start();
        printer.sensorHigh = !printer.sensorHigh;
        if (QTest::qWaitFor([&] { return changes > before; }, 3000))
            sensor.push_back(double(clock.nsecsElapsed()) / 1e6);
        QTest::qWait(97); // out of step with the polling
    }
    print("web sensor-change", sensor);

    // POST …/open to the kick at the printer, once per pulse.
    std::vector<double> kicks;
    const QByteArray request = httpRequest("POST", "/v1/drawers/1/open", port,
        "Origin: https://pos.example\r\nAuthorization: Bearer " + token + "\r\n");
    for (int i = 0; i < 40; ++i) {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket.waitForConnected();
        const int before = printer.kicks();
        clock.start();
        socket.write(request);
        socket.flush();
        while (printer.kicks() == before && clock.elapsed() < 2000)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (printer.kicks() > before)
            kicks.push_back(double(clock.nsecsElapsed()) / 1e6);
        socket.waitForReadyRead(2000);
        QTest::qWait(120);
    }
    print("web kick-delivery", kicks);

    // Idle: 1 and 100 clients following, over two heartbeats.
    for (int count : {1, 100}) {
        std::vector<QWebSocket *> clients;
        for (int i = 1; i < count; ++i)
            clients.push_back(follower(port, &app));
        const bool connected = QTest::qWaitFor(
            [&] {
                return std::all_of(clients.begin(), clients.end(),
                    [](QWebSocket *c) { return c->state() == QAbstractSocket::ConnectedState; });
            },
            20000);
        if (!connected) {
            std::fprintf(stderr, "web-bench: not all %d clients connected\n", count);
            return 1;
        }
        QTest::qWait(1000);
        const double before = cpuSeconds(bridge.processId());
        clock.start();
        QTest::qWait(20000);
        const double share
            = (cpuSeconds(bridge.processId()) - before) / (double(clock.elapsed()) / 1000) * 100;
        const std::string name = "web idle-cpu " + std::to_string(count);
        print(name.c_str(), {share});
        for (QWebSocket *socket : clients)
            socket->deleteLater();
    }
    bridge.terminate();
    bridge.waitForFinished();
    return 0;
}
