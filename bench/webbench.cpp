// web-bench: the web bridge's figures, with the drawer service on a private
// bus and a printer played on 127.0.0.1. Lines of "name median p99 max
// count", as driver-bench prints them:
//   web sensor-change    the printer's sensor to the WebSocket message, ms
//   web kick-delivery    POST …/open to the kick at the printer, ms
//   web idle-cpu N       the bridge's CPU while idle with N clients, % of a core
//   web attack-rss       the bridge's resident memory, MiB, sampled while a
//                        local account attacks it with every kind of request
//   web attack-threads   its threads meanwhile
//
//   web-bench SERVICE BRIDGE CTL

#include "support/fakenetworkprinter.h"
#include "support/privatesystembus.h"
#include "support/rawhttp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketHandshakeOptions>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include <sys/resource.h>
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

// A field of /proc/PID/status, as a number (kB for sizes).
double statusField(qint64 pid, const char *name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name, 0) == 0)
            return std::stod(line.substr(std::strlen(name) + 1));
    return 0;
}

double descriptors(qint64 pid)
{
    return double(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                      .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                      .size());
}

// Connections that each send start, then more at every tick, never reading.
struct Attackers {
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    QByteArray more;

    Attackers(quint16 port, int count, const QByteArray &start, QByteArray then = {})
        : more(std::move(then))
    {
        for (int i = 0; i < count; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->connectToHost(QStringLiteral("127.0.0.1"), port);
            sockets.back()->write(start);
        }
    }
    void tick()
    {
        for (auto &socket : sockets)
            if (!more.isEmpty() && socket->state() == QAbstractSocket::ConnectedState
                && socket->bytesToWrite() < 256 * 1024)
                socket->write(more);
    }
};

// Every kind of request a local account can make, for a minute, while the
// bridge's memory and threads are sampled.
void attack(quint16 port, qint64 pid, const QByteArray &token)
{
    const QByteArray post = "POST /v1/drawers/1/open HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                            "Authorization: Bearer "
        + token + "\r\n";
    const QByteArray handshake
        = "GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
          "Connection: Upgrade\r\nOrigin: https://pos.example\r\n";
    std::vector<double> rss, threads;
    const double fdsBefore = descriptors(pid);
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    auto webSocket = [&](const QStringList &subprotocols) {
        sockets.push_back(std::make_unique<QWebSocket>(QStringLiteral("https://pos.example")));
        QWebSocketHandshakeOptions options;
        options.setSubprotocols(subprotocols);
        sockets.back()->open(
            QNetworkRequest(QUrl(QStringLiteral("ws://127.0.0.1:%1/v1/events").arg(port))),
            options);
    };
    for (int i = 0; i < 300; ++i)
        webSocket({});
    for (int i = 0; i < 8; ++i)
        webSocket({QStringLiteral("kestrin.v1"), QStringLiteral("kestrin.bearer.") + token});
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 60000) {
        // New attackers every few seconds, as the old ones are cut off.
        std::vector<Attackers> wave;
        wave.emplace_back(
            port, 100, post + "Content-Length: 4294967296\r\n\r\n", QByteArray(64 * 1024, 'x'));
        wave.emplace_back(port, 100, post + "Transfer-Encoding: chunked\r\n\r\n",
            "4000\r\n" + QByteArray(0x4000, 'x') + "\r\n");
        wave.emplace_back(port, 100, post, "X-Slow: " + QByteArray(8, 'x') + "\r\n");
        wave.emplace_back(port, 300, QByteArray());
        wave.emplace_back(port, 50,
            QByteArray("GET /v1/drawers HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").repeated(400));
        wave.emplace_back(port, 100, handshake + "Sec-WebSocket-Version: 7\r\n\r\n");
        wave.emplace_back(port, 100,
            handshake
                + "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: x\r\nSec-WebSocket-Protocol: "
                  "kestrin.v1, kestrin.bearer.nope\r\n\r\n");
        for (int tick = 0; tick < 50; ++tick) {
            for (Attackers &attackers : wave)
                attackers.tick();
            QTest::qWait(100);
            rss.push_back(statusField(pid, "VmRSS:") / 1024);
            threads.push_back(statusField(pid, "Threads:"));
        }
    }
    print("web attack-rss", rss);
    print("web attack-threads", threads);
    std::printf("peak resident memory %.1f MiB\n", statusField(pid, "VmHWM:") / 1024);
    sockets.clear();
    // Those cut off linger a little, the idle ones until their timeout.
    QElapsedTimer after;
    after.start();
    const bool back = QTest::qWaitFor([&] { return descriptors(pid) <= fdsBefore; }, 20000);
    std::printf("descriptors: %.0f before, %.0f after, %s %.1f s\n", fdsBefore, descriptors(pid),
        back ? "back within" : "not back after", double(after.elapsed()) / 1000);
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
    // Room for the attack's connections; the bridge gets its unit's limit.
    rlimit files {};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    QProcess bridge;
    bridge.setChildProcessModifier([] {
        const rlimit unitFiles {1088, 1088};
        ::setrlimit(RLIMIT_NOFILE, &unitFiles);
    });
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
    attack(port, bridge.processId(), token);
    bridge.terminate();
    bridge.waitForFinished();
    return 0;
}
