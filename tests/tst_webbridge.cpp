// The web bridge, kestrin-drawer-web, as a browser and web apps meet it: on
// a private bus with the system bus's rules, the drawer service and a
// printer played on 127.0.0.1, all in a network of the test's own with only
// loopback up. Its JSON and events follow the printer's drawer; Open needs a
// known token and an allowed origin and names both in the service's record;
// foreign hosts and origins, broken and endless requests, and slow and many
// WebSocket clients do no harm; and the page, in headless Chromium, shows
// the drawer live and fires it.

#include "../web/eventclients.h"
#include "support/fakenetworkprinter.h"
#include "support/headlesschromium.h"
#include "support/loopbacknetwork.h"
#include "support/privatesystembus.h"
#include "support/rawhttp.h"
#include "support/systemdsockets.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketHandshakeOptions>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

namespace {
const QByteArray AppOrigin = "https://pos.example";

// The processor time a process has used, from /proc.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
    // After the name: state is field 3, utime 14 and stime 15.
    return (fields.value(12).toDouble() + fields.value(13).toDouble()) / ::sysconf(_SC_CLK_TCK);
}

// A process's resident memory, from /proc.
qint64 residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = status.readAll();
    return text.mid(text.indexOf("VmRSS:") + 6).trimmed().split(' ').value(0).toLongLong();
}

// A WebSocket client of the bridge offering these subprotocols, once it
// is connected; null if the bridge refused it.
std::unique_ptr<QWebSocket> follow(
    quint16 port, const QString &origin, const QStringList &subprotocols = {})
{
    auto socket = std::make_unique<QWebSocket>(origin);
    bool ended = false;
    QObject::connect(socket.get(), &QWebSocket::stateChanged, socket.get(),
        [&ended](QAbstractSocket::SocketState state) {
            ended = ended || state == QAbstractSocket::UnconnectedState;
        });
    QWebSocketHandshakeOptions options;
    options.setSubprotocols(subprotocols);
    socket->open(
        QNetworkRequest(QUrl(QStringLiteral("ws://127.0.0.1:%1/v1/events").arg(port))), options);
    const bool answered = QTest::qWaitFor(
        [&] { return socket->state() == QAbstractSocket::ConnectedState || ended; });
    QObject::disconnect(socket.get(), &QWebSocket::stateChanged, socket.get(), nullptr);
    return answered && socket->state() == QAbstractSocket::ConnectedState ? std::move(socket)
                                                                          : nullptr;
}

// A WebSocket client of the bridge that keeps every JSON message it got.
struct EventClient {
    QWebSocket socket;
    QList<QJsonObject> messages;

    EventClient(quint16 port, const QString &origin) : socket(origin)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString &text) {
            messages.append(QJsonDocument::fromJson(text.toUtf8()).object());
        });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/v1/events").arg(port)));
    }
    // Whether a message for drawer 1 says it is open (or closed).
    bool saw(const QString &event, bool open = false) const
    {
        for (const QJsonObject &message : messages) {
            if (message[QLatin1String("event")] != event)
                continue;
            if (event != QLatin1String("change"))
                return true;
            if (message[QLatin1String("number")] == 1 && message[QLatin1String("open")] == open)
                return true;
        }
        return false;
    }
};
} // namespace

class WebBridgeTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home;
    bool ownNetwork = false;
    std::unique_ptr<FakeNetworkPrinter> printer; // drawer 1, with a sensor
    std::unique_ptr<PrivateSystemBus> systemBus;
    QProcess bridge;
    quint16 port = 0;
    QByteArray token; // till-1's

    QByteArray ctl(const QStringList &arguments, int expectedExit = 0)
    {
        QProcess process;
        process.start(QStringLiteral(DRAWER_CTL), arguments);
        process.waitForFinished();
        [&] { QCOMPARE(process.exitCode(), expectedExit); }();
        return process.readAllStandardOutput().trimmed();
    }

    // A bridge on a free port, which it gives; 0 if it did not start.
    static quint16 startBridge(QProcess &process)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(WEB_BRIDGE), {QStringLiteral("--port"), QStringLiteral("0")});
        if (!process.waitForReadyRead(10000))
            return 0;
        const QRegularExpressionMatch match = QRegularExpression(QStringLiteral(":(\\d+)/"))
                                                  .match(QString::fromLatin1(process.readAll()));
        return quint16(match.captured(1).toUInt());
    }

    // Another bridge with a file limit of 256, and so fewer slots; a
    // heartbeat this often, if given.
    static quint16 startLimitedBridge(QProcess &process, const QString &heartbeatMs = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!heartbeatMs.isEmpty())
            environment.insert(QStringLiteral("KESTRIN_WEB_HEARTBEAT_MS"), heartbeatMs);
        process.setProcessEnvironment(environment);
        process.setChildProcessModifier([] {
            const rlimit files {256, 256};
            ::setrlimit(RLIMIT_NOFILE, &files);
        });
        return startBridge(process);
    }

    QJsonArray drawers(quint16 at = 0)
    {
        at = at ? at : port;
        return QJsonDocument::fromJson(rawHttp(at, httpRequest("GET", "/v1/drawers", at)).body)
            .array();
    }

    // POST …/open, again while the drawer is busy from an earlier kick.
    HttpAnswer open(const QByteArray &headers, const QByteArray &body = {}, int number = 1)
    {
        const QByteArray request = httpRequest(
            "POST", "/v1/drawers/" + QByteArray::number(number) + "/open", port, headers, body);
        QElapsedTimer clock;
        clock.start();
        HttpAnswer answer;
        do
            answer = rawHttp(port, request);
        while (answer.status == 409 && number == 1 && clock.elapsed() < 2000);
        return answer;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        ownNetwork = enterLoopbackOnlyNetwork();
        printer = std::make_unique<FakeNetworkPrinter>();
        const QString config
            = QStringLiteral(
                "[drawer 1]\ndevice = %1\nsensor = open-high\npulse-on = 20\npulse-off = 200\n"
                "[drawer 2]\ndevice = tcp://127.0.0.1:1\n"
                "[web]\nallow-origin = %2 http://pos.example:8080\n")
                  .arg(QString::fromStdString(printer->address()), QString::fromLatin1(AppOrigin));
        QFile file(home.filePath(QStringLiteral("drawers.conf")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(config.toUtf8()) > 0);
        file.close();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("KESTRIN_DRAWERS_CONF"), file.fileName());
        environment.insert(
            QStringLiteral("KESTRIN_WEB_TOKENS"), home.filePath(QStringLiteral("state/tokens")));
        // The service's history, in the test's own folder.
        environment.insert(QStringLiteral("STATE_DIRECTORY"), home.path());
        systemBus = std::make_unique<PrivateSystemBus>();
        const QString failed = systemBus->start(home.path(), environment);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), systemBus->address);
        for (const QString &name : environment.keys())
            qputenv(name.toLocal8Bit(), environment.value(name).toLocal8Bit());

        token = ctl({QStringLiteral("token"), QStringLiteral("add"), QStringLiteral("till-1")});
        QCOMPARE(token.size(), 43); // 32 random bytes, URL-safe base 64

        port = startBridge(bridge);
        QVERIFY(port != 0);
        // The bridge started the service, which has seen the printer.
        QTRY_VERIFY(drawers().at(0)[QLatin1String("present")].toBool());
    }

    void cleanupTestCase()
    {
        bridge.terminate();
        QVERIFY(bridge.waitForFinished());
        systemBus.reset();
    }

    void jsonAndEventsFollowThePrinter()
    {
        QJsonArray list = drawers();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0][QLatin1String("number")], 1);
        QCOMPARE(list[0][QLatin1String("hasSensor")], true);
        QCOMPARE(list[0][QLatin1String("open")], false);
        QCOMPARE(list[1][QLatin1String("present")], false);

        EventClient client(port, QString::fromLatin1(AppOrigin));
        QTRY_VERIFY(client.saw(QStringLiteral("state")));
        QCOMPARE(client.messages[0][QLatin1String("drawers")].toArray(), list);
        printer->sensorHigh = true;
        QTRY_VERIFY(client.saw(QStringLiteral("change"), true));
        QStringList keys = list[0].toObject().keys() << QStringLiteral("event");
        keys.sort();
        QCOMPARE(client.messages.last().keys(), keys);
        list = drawers();
        QCOMPARE(list[0][QLatin1String("open")], true);
        QVERIFY(list[0][QLatin1String("changed")].toString().endsWith(QLatin1Char('Z')));
        printer->sensorHigh = false;
        QTRY_VERIFY(client.saw(QStringLiteral("change"), false));
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("allowedOrigin"); // the CORS header's, or empty
        QTest::addColumn<int>("kicks");
        const QByteArray p = QByteArray::number(port);
        const QByteArray app = "Origin: " + AppOrigin + "\r\n";
        const QByteArray bearer = "Authorization: Bearer " + token + "\r\n";
        const QByteArray json = "Content-Type: application/json\r\n";
        auto get = [&](const QByteArray &headers) {
            return httpRequest("GET", "/v1/drawers", port, headers);
        };
        auto post = [&](const QByteArray &headers, const QByteArray &body = {}, int n = 1) {
            return httpRequest(
                "POST", "/v1/drawers/" + QByteArray::number(n) + "/open", port, headers, body);
        };
        QTest::newRow("localhost")
            << get("Host: localhost:" + p + "\r\n") << 200 << QByteArray() << 0;
        QTest::newRow("[::1]") << get("Host: [::1]:" + p + "\r\n") << 200 << QByteArray() << 0;
        QTest::newRow("a rebound name")
            << get("Host: pos.example:" + p + "\r\n") << 403 << QByteArray() << 0;
        QTest::newRow("a loopback-looking name")
            << get("Host: 127.0.0.1.evil.example\r\n") << 403 << QByteArray() << 0;
        QTest::newRow("another address")
            << get("Host: 10.0.0.1:" + p + "\r\n") << 403 << QByteArray() << 0;
        QTest::newRow("allowed origin") << get(app) << 200 << AppOrigin << 0;
        QTest::newRow("its own page")
            << get("Origin: http://localhost:" + p + "\r\n") << 200 << "http://localhost:" + p << 0;
        QTest::newRow("foreign origin")
            << get("Origin: https://evil.example\r\n") << 403 << QByteArray() << 0;
        QTest::newRow("allowed origin on another port")
            << get("Origin: https://pos.example:444\r\n") << 403 << QByteArray() << 0;
        QTest::newRow("preflight") << httpRequest(
            "OPTIONS", "/v1/drawers/1/open", port, app + "Access-Control-Request-Method: POST\r\n")
                                   << 204 << AppOrigin << 0;
        QTest::newRow("foreign preflight") << httpRequest("OPTIONS", "/v1/drawers/1/open", port,
            "Origin: https://evil.example\r\nAccess-Control-Request-Method: POST\r\n")
                                           << 403 << QByteArray() << 0;
        QTest::newRow("no token") << post(app) << 401 << AppOrigin << 0;
        QByteArray firstBytes = token; // the same but for its first bytes
        for (int i = 0; i < 4; ++i)
            firstBytes[i] = firstBytes[i] == 'A' ? 'B' : 'A';
        QTest::newRow("wrong first bytes")
            << post(app + "Authorization: Bearer " + firstBytes + "\r\n") << 401 << AppOrigin << 0;
        QTest::newRow("the hash as token")
            << post(app + "Authorization: Bearer " + token.toLower() + "\r\n") << 401 << AppOrigin
            << 0;
        QTest::newRow("basic scheme")
            << post(app + "Authorization: Basic " + token + "\r\n") << 401 << AppOrigin << 0;
        QTest::newRow("token, foreign origin")
            << post("Origin: https://evil.example\r\n" + bearer) << 403 << QByteArray() << 0;
        QTest::newRow("fires") << post(app + bearer + json, R"({"reason":"sale 42"})") << 200
                               << AppOrigin << 1;
        QTest::newRow("from a local program") << post(bearer) << 200 << QByteArray() << 1;
        QTest::newRow("not configured") << post(app + bearer, {}, 5) << 404 << AppOrigin << 0;
        QTest::newRow("no drawer 9") << post(app + bearer, {}, 9) << 404 << AppOrigin << 0;
        QTest::newRow("not present") << post(app + bearer, {}, 2) << 409 << AppOrigin << 0;
        QTest::newRow("malformed body")
            << post(app + bearer + json, "{\"reason\":") << 400 << AppOrigin << 0;
        QTest::newRow("an array") << post(app + bearer + json, "[]") << 400 << AppOrigin << 0;
        QTest::newRow("a number for the reason")
            << post(app + bearer + json, R"({"reason":7})") << 400 << AppOrigin << 0;
        QTest::newRow("oversized body")
            << post(app + bearer + json, "{\"reason\":\"" + QByteArray(5000, 'x') + "\"}") << 413
            << AppOrigin << 0;
        // Refused unread, the bridge's memory is not the client's to fill.
        QTest::newRow("endless body")
            << post(app + bearer + json, QByteArray(2 * 1024 * 1024, 'x')) << 413 << AppOrigin << 0;
        // Read as no body, or a short one, they would fire: the framing of
        // the body is unclear.
        QTest::newRow("two lengths")
            << post(app + bearer + json + "Content-Length: 0\r\n", "{}") << 400 << AppOrigin << 0;
        QTest::newRow("length and chunks")
            << post(app + bearer + "Transfer-Encoding: chunked\r\n", "0\r\n\r\n") << 400
            << AppOrigin << 0;
        for (const QByteArray length :
            {"100000000000000000000000", "18446744073709551617", "+0", "0x0", "0, 0"})
            QTest::addRow("length %s", length.constData())
                << post(app + bearer + "Content-Length: " + length + "\r\n") << 400 << AppOrigin
                << 0;
        QTest::newRow("GET on open") << httpRequest("GET", "/v1/drawers/1/open", port, app + bearer)
                                     << 405 << AppOrigin << 0;
        QTest::newRow("events without upgrade")
            << get(app).replace("/v1/drawers", "/v1/events") << 426 << QByteArray() << 0;
        QTest::newRow("not HTTP") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)
                                  << 0 << QByteArray() << 0;
    }

    void requests()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QByteArray, allowedOrigin);
        QFETCH(int, kicks);
        const int before = printer->kicks();
        QElapsedTimer clock;
        clock.start();
        HttpAnswer answer;
        do // a kick waits out the pulse of the one before
            answer = rawHttp(port, request);
        while (answer.status == 409 && kicks && clock.elapsed() < 2000);
        QVERIFY2(answer.status == status, answer.head + answer.body);
        QCOMPARE(answer.hasHeader("Access-Control-Allow-Origin: " + allowedOrigin),
            !allowedOrigin.isEmpty());
        if (!allowedOrigin.isEmpty())
            QVERIFY(!answer.hasHeader("Access-Control-Allow-Origin: *"));
        if (status >= 400)
            QVERIFY(QJsonDocument::fromJson(answer.body)[QLatin1String("error")].isString());
        QTRY_COMPARE(printer->kicks(), before + kicks);
        QCOMPARE(bridge.state(), QProcess::Running);
    }

    // Bodies and heads longer than the bridge takes are refused as soon as
    // it can tell, unread, however long the client goes on sending, and the
    // connection is closed after the answer; the bridge's memory stays put.
    void oversizedRequestsAreRefusedUnread_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("stream"); // sent over and over until the answer
        QTest::addColumn<int>("status");
        const QByteArray post = "POST /v1/drawers/1/open HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "Authorization: Bearer "
            + token + "\r\n";
        QTest::newRow("4 GB to come") << post + "Content-Length: 4294967296\r\n\r\n"
                                      << QByteArray() << 413;
        QTest::newRow("5 kB to come") << post + "Content-Length: 5000\r\n\r\n"
                                      << QByteArray() << 413;
        QTest::newRow("endless chunks") << post + "Transfer-Encoding: chunked\r\n\r\n"
                                        << "400\r\n" + QByteArray(1024, 'x') + "\r\n"
                                        << 413;
        QTest::newRow("endless head") << post << "X-Filler: " + QByteArray(1000, 'x') + "\r\n"
                                      << 431;
    }

    void oversizedRequestsAreRefusedUnread()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, stream);
        QFETCH(int, status);
        const qint64 residentBefore = residentKb(bridge.processId());
        QTcpSocket client;
        client.connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY(client.waitForConnected() && client.write(head) > 0);
        QByteArray answer;
        qint64 sent = 0;
        // 64 MB at most, which the bridge once kept.
        while (!answer.contains("\r\n\r\n") && client.state() == QAbstractSocket::ConnectedState
            && sent < (64 << 20)) {
            if (!stream.isEmpty() && client.bytesToWrite() < (1 << 20))
                sent += client.write(stream.repeated(64));
            client.waitForReadyRead(stream.isEmpty() ? 5000 : 10);
            answer += client.readAll();
        }
        QCOMPARE(parseHttpAnswer(answer).status, status);
        QVERIFY(parseHttpAnswer(answer).hasHeader("Connection: close"));
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        const qint64 grownKb = residentKb(bridge.processId()) - residentBefore;
        QVERIFY2(grownKb < 16 * 1024, qPrintable(QString::number(grownKb)));
    }

    void theRecordNamesTokenAndOrigin()
    {
        // What the service records as the reason of each Open, in its log
        // and in its history.
        QTRY_VERIFY(systemBus->log().contains(
            QStringLiteral("web: till-1 from https://pos.example: sale 42")));
        QTRY_VERIFY2(systemBus->log().contains(QStringLiteral("web: till-1 from a local program")),
            qPrintable(systemBus->log()));
        const QByteArray history = ctl({QStringLiteral("history"), QStringLiteral("--drawer"),
            QStringLiteral("1"), QStringLiteral("--json")});
        QVERIFY2(history.contains(R"("event":"kick")")
                && history.contains("web: till-1 from https://pos.example: sale 42"),
            history.constData());
    }

    // A print job's body reaches the printer whole for a token's holder;
    // without one it is refused, and read only up to the usual limit.
    void printsWithATokenOnly_data()
    {
        QTest::addColumn<bool>("withToken");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<int>("status");
        const QByteArray raw = "application/octet-stream";
        QTest::newRow("receipt") << true << raw << qsizetype(3000) << 200;
        QTest::newRow("1 MiB") << true << raw << qsizetype(1 << 20) << 200;
        QTest::newRow("over 1 MiB") << true << raw << qsizetype((1 << 20) + 1) << 413;
        QTest::newRow("no token") << false << raw << qsizetype(3000) << 401;
        QTest::newRow("no token, large") << false << raw << qsizetype(64 * 1024) << 413;
        QTest::newRow("not raw") << true << QByteArray("text/plain") << qsizetype(3000) << 415;
    }

    void printsWithATokenOnly()
    {
        QFETCH(bool, withToken);
        QFETCH(QByteArray, type);
        QFETCH(qsizetype, size);
        QFETCH(int, status);
        QByteArray job = "\x1B@" + QByteArray(QTest::currentDataTag()) + "\n";
        job += QByteArray(size - job.size(), 'x');
        const QByteArray headers = "Content-Type: " + type + "\r\n"
            + (withToken ? "Authorization: Bearer " + token + "\r\n" : QByteArray());
        const qsizetype before = qsizetype(printer->received().size());
        const HttpAnswer answer
            = rawHttp(port, httpRequest("POST", "/v1/drawers/1/print", port, headers, job), 20000);
        QVERIFY2(answer.status == status, answer.head + answer.body);
        // What the printer's connection took, the printer reads a moment later.
        const auto printed = [this, before] {
            const std::vector<std::uint8_t> after = printer->received();
            return QByteArray(reinterpret_cast<const char *>(after.data()), qsizetype(after.size()))
                .mid(before)
                .replace(QByteArray("\x10\x04\x01", 3), QByteArray());
        };
        QTRY_COMPARE(printed(), status == 200 ? job : QByteArray());
    }

    void firedTwiceWithinThePulseIsBusy()
    {
        const QByteArray bearer = "Authorization: Bearer " + token + "\r\n";
        QCOMPARE(open(bearer).status, 200);
        QCOMPARE(
            rawHttp(port, httpRequest("POST", "/v1/drawers/1/open", port, bearer)).status, 409);
    }

    void removedTokenIsRefusedAtOnce()
    {
        const QByteArray second
            = ctl({QStringLiteral("token"), QStringLiteral("add"), QStringLiteral("till-2")});
        QVERIFY(ctl({QStringLiteral("token"), QStringLiteral("list")}).contains("till-2"));
        const QByteArray bearer = "Authorization: Bearer " + second + "\r\n";
        QCOMPARE(open(bearer).status, 200);
        ctl({QStringLiteral("token"), QStringLiteral("remove"), QStringLiteral("till-2")});
        ctl({QStringLiteral("token"), QStringLiteral("remove"), QStringLiteral("till-2")}, 7);
        QVERIFY(!ctl({QStringLiteral("token"), QStringLiteral("list")}).contains("till-2"));
        QCOMPARE(open(bearer).status, 401);
        QCOMPARE(open("Authorization: Bearer " + token + "\r\n").status, 200);
        // Only hashes are kept.
        QFile tokens(home.filePath(QStringLiteral("state/tokens")));
        QVERIFY(tokens.open(QIODevice::ReadOnly));
        QVERIFY(!tokens.readAll().contains(token));
    }

    // Root's token commands in a folder the bridge's user owns: a link
    // planted where the file goes is refused, its target untouched (remove
    // writes the file as add does).
    void tokenFileIsNeverWrittenThroughALink()
    {
        const QString folder = home.filePath(QStringLiteral("bridge"));
        QFile victim(folder + QStringLiteral(".victim"));
        const QByteArray victimText = "till-9 " + QByteArray(64, 'a') + " 2026-01-01\n";
        QVERIFY(QDir().mkpath(folder)
            && ::chown(QFile::encodeName(folder).constData(), 64003, 64003) == 0);
        QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write(victimText) > 0);
        victim.close();
        QVERIFY(victim.link(folder + QStringLiteral("/tokens")));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(
            QStringLiteral("KESTRIN_WEB_TOKENS"), folder + QStringLiteral("/tokens"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(DRAWER_CTL),
            {QStringLiteral("token"), QStringLiteral("add"), QStringLiteral("till-8")});
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 7);
        QCOMPARE(process.readAllStandardError().count('\n'), 1);
        QVERIFY(victim.open(QIODevice::ReadOnly));
        QCOMPARE(victim.readAll(), victimText);
        QCOMPARE(QFileInfo(victim).ownerId(), 0u);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 1);
        QVERIFY(::chown(QFile::encodeName(folder).constData(), 0, 0) == 0); // for the clean-up
    }

    void webSocketHandshakes_data()
    {
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
        QTest::newRow("allowed origin") << host + "Origin: " + AppOrigin + "\r\n" << 101;
        QTest::newRow("no origin") << host << 403;
        QTest::newRow("foreign origin") << host + "Origin: https://evil.example\r\n" << 403;
        QTest::newRow("foreign host") << "Host: pos.example\r\nOrigin: " + AppOrigin + "\r\n"
                                      << 403;
    }

    void webSocketHandshakes()
    {
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        QCOMPARE(rawHttp(port, webSocketHandshake("/v1/events") + headers + "\r\n").status, status);
        const QByteArray elsewhere = "Host: 127.0.0.1\r\nOrigin: " + AppOrigin + "\r\n\r\n";
        QCOMPARE(rawHttp(port, webSocketHandshake("/v1/drawers") + elsewhere).status, 404);
    }

    void slowAndManyClientsDoNoHarm()
    {
        // Clients that shake hands and then never read, nor answer pings,
        // and one that sends more than a client ever should.
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        for (int i = 0; i < 20; ++i) {
            slow.push_back(std::make_unique<QTcpSocket>());
            slow.back()->connectToHost(QStringLiteral("127.0.0.1"), port);
            QVERIFY(slow.back()->waitForConnected());
            slow.back()->write(webSocketHandshake("/v1/events")
                + "Host: localhost\r\nOrigin: " + AppOrigin + "\r\n\r\n");
        }
        QWebSocket talker(QString::fromLatin1(AppOrigin));
        talker.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/v1/events").arg(port)));
        QTRY_COMPARE(talker.state(), QAbstractSocket::ConnectedState);
        talker.sendTextMessage(QString(64 * 1024, QLatin1Char('x')));

        std::vector<std::unique_ptr<EventClient>> clients;
        for (int i = 0; i < 100; ++i)
            clients.push_back(std::make_unique<EventClient>(port, QString::fromLatin1(AppOrigin)));
        auto allSaw = [&](const QString &event, bool open = false) {
            return std::all_of(clients.begin(), clients.end(),
                [&](const auto &client) { return client->saw(event, open); });
        };
        QTRY_VERIFY(allSaw(QStringLiteral("state")));
        printer->sensorHigh = true;
        QTRY_VERIFY(allSaw(QStringLiteral("change"), true));
        printer->sensorHigh = false;
        QTRY_VERIFY(allSaw(QStringLiteral("change"), false));
        // The heartbeat, every 10 s, reaches everyone still listening.
        QTRY_VERIFY_WITH_TIMEOUT(allSaw(QStringLiteral("heartbeat")), 12000);
        QCOMPARE(bridge.state(), QProcess::Running);
        QCOMPARE(drawers().size(), 2);
    }

    // Signals sent straight to the bridge by another connection, as any
    // local user can, change nothing: QtDBus takes them from the service's
    // owner and the bus alone.
    void forgedSignalsAreIgnored()
    {
        systemBus->forgeServiceSignals(systemBus->uniqueNameOf(bridge.processId()));
        printer->sensorHigh = true; // a real change, queued behind them
        QTRY_VERIFY(drawers().at(0)[QLatin1String("open")].toBool());
        QVERIFY(drawers().at(0)[QLatin1String("present")].toBool());
        printer->sensorHigh = false;
        QTRY_VERIFY(!drawers().at(0)[QLatin1String("open")].toBool());
    }

    // Another bridge, with a file limit of 256 and a short heartbeat, under
    // more idle connections than that limit: a new client is served at
    // once, with little of a core spent; and a WebSocket client that
    // answers the pings stays past several heartbeats.
    void idleConnectionsLeaveRoom()
    {
        QProcess limited;
        const quint16 second = startLimitedBridge(limited, QStringLiteral("300"));
        QVERIFY(second != 0);

        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = cpuSeconds(limited.processId());
        const std::vector<int> held = holdConnections(second, 400);
        QCOMPARE(held.size(), size_t(400));
        const HttpAnswer answer = rawHttp(second, httpRequest("GET", "/v1/drawers", second), 2000);
        const double share
            = (cpuSeconds(limited.processId()) - cpuBefore) / (clock.elapsed() / 1e3);
        for (const int connection : held)
            ::close(connection);
        QCOMPARE(answer.status, 200);
        qInfo("With 400 connections held, the bridge used %.0f %% of a core.", share * 100);
        QVERIFY2(share < 0.5, qPrintable(QString::number(share)));

        // A client answered last, and so the latest active, keeps its
        // connection when a newcomer takes the place of one idle longer.
        const std::vector<int> flood = holdConnections(second, 256);
        QTcpSocket recent;
        recent.connectToHost(QStringLiteral("127.0.0.1"), second);
        const QByteArray keepAlive = "GET /v1/drawers HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        QVERIFY(recent.waitForConnected() && recent.write(keepAlive) > 0);
        QByteArray drawersJson; // each answer's body ends the array
        QTRY_VERIFY((drawersJson += recent.readAll()).endsWith(']'));
        QCOMPARE(rawHttp(second, httpRequest("GET", "/v1/drawers", second), 2000).status, 200);
        recent.write(keepAlive);
        QTRY_VERIFY((drawersJson += recent.readAll()).count("HTTP/1.1 200 ") == 2);
        for (const int connection : flood)
            ::close(connection);

        // This process answers the pings only while its event loop runs.
        EventClient listener(second, QString::fromLatin1(AppOrigin));
        const auto heartbeats = [&] {
            return std::count_if(
                listener.messages.begin(), listener.messages.end(), [](const QJsonObject &message) {
                    return message[QLatin1String("event")] == QLatin1String("heartbeat");
                });
        };
        QTRY_VERIFY_WITH_TIMEOUT(heartbeats() >= 12, 10000);
        QCOMPARE(listener.socket.state(), QAbstractSocket::ConnectedState);
        limited.terminate();
        QVERIFY(limited.waitForFinished());
    }

    // Tokenless clients with the page's own origin that hold every slot of
    // theirs and answer the pings keep no token's client out; an unknown
    // token is refused at the handshake; the page follows with its token;
    // and a token's own share is bounded.
    void tokenClientsGetInPastTokenlessOnes()
    {
        QProcess limited;
        const quint16 second = startLimitedBridge(limited);
        QVERIFY(second != 0);
        auto stop = qScopeGuard([&] {
            limited.terminate();
            limited.waitForFinished();
        });
        const QString own = QStringLiteral("http://127.0.0.1:%1").arg(second);
        std::vector<std::unique_ptr<QWebSocket>> outsider;
        do
            outsider.push_back(follow(second, own));
        while (outsider.back() && outsider.size() < 300);
        QVERIFY(!outsider.back() && outsider.size() > 1);
        auto handshake = [&](const QByteArray &subprotocols) {
            return rawHttp(second,
                webSocketHandshake("/v1/events") + "Host: 127.0.0.1\r\nOrigin: " + own.toUtf8()
                    + "\r\nSec-WebSocket-Protocol: " + subprotocols + "\r\n\r\n");
        };
        QCOMPARE(handshake("kestrin.v1").status, 503);
        QCOMPARE(handshake("kestrin.v1, kestrin.bearer." + token.left(42) + 'x').status, 401);
        const HttpAnswer admitted = handshake("kestrin.v1, kestrin.bearer." + token);
        QCOMPARE(admitted.status, 101);
        QVERIFY(admitted.hasHeader("Sec-WebSocket-Protocol: kestrin.v1"));
        QVERIFY(!admitted.head.contains(token));

        if (ownNetwork) {
            HeadlessChromium chromium;
            const QString failed = chromium.start(own + QLatin1Char('/'));
            QVERIFY2(failed.isEmpty(), qPrintable(failed));
            QTRY_VERIFY(chromium
                            .evaluate(QStringLiteral("document.getElementById('connection') "
                                                     "!== null"))
                            .toBool());
            chromium.evaluate(QStringLiteral("localStorage.setItem('kestrin-drawer-web.token', "
                                             "'%1'); location.reload()")
                                  .arg(QString::fromLatin1(token)));
            QTRY_COMPARE_WITH_TIMEOUT(
                chromium
                    .evaluate(QStringLiteral("document.getElementById('connection').dataset.state"))
                    .toString(),
                QStringLiteral("live"), 10000);
        }
        const QStringList withToken
            = {QStringLiteral("kestrin.v1"), QStringLiteral("kestrin.bearer.") + token};
        std::vector<std::unique_ptr<QWebSocket>> tokens;
        do
            tokens.push_back(follow(second, own, withToken));
        while (tokens.back() && tokens.size() < 300);
        QVERIFY(!tokens.back());
        QCOMPARE(tokens.front()->subprotocol(), QStringLiteral("kestrin.v1"));
        const QByteArray other
            = ctl({QStringLiteral("token"), QStringLiteral("add"), QStringLiteral("till-3")});
        QCOMPARE(handshake("kestrin.v1, kestrin.bearer." + other).status, 101);
    }

    // WebSocket clients that end, with a close frame or a bare FIN, give
    // their slots back at once, while one of their pool stays: a bridge
    // limited to 256 files serves 256 of them, one after another.
    void endedWebSocketsGiveTheirSlotsBack()
    {
        QProcess limited;
        const quint16 second = startLimitedBridge(limited);
        const QString own = QStringLiteral("http://127.0.0.1:%1").arg(second);
        for (const QString &offer : {QStringLiteral("kestrin.bearer.") + token, QString()}) {
            const QStringList subprotocols = {QStringLiteral("kestrin.v1"), offer};
            const auto staying = follow(second, own, subprotocols);
            QVERIFY(staying);
            for (int session = 0; session < 256; ++session) {
                const auto client = follow(second, own, subprotocols);
                QVERIFY2(client, qPrintable(QString::number(session)));
                client->close();
                QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
                QCOMPARE(handshakeThenFin(second,
                             webSocketHandshake("/v1/events") + "Host: 127.0.0.1\r\nOrigin: "
                                 + own.toUtf8() + "\r\nSec-WebSocket-Protocol: kestrin.v1, "
                                 + offer.toUtf8() + "\r\n\r\n"),
                    101);
            }
        }
        limited.terminate();
        QVERIFY(limited.waitForFinished());
    }

    // Handshakes pipelined behind requests the service has yet to answer
    // take their slots when judged: no more than a token's slots get in.
    void pipelinedHandshakesKeepTheLimit()
    {
        const QByteArray pipelined = httpRequest("POST", "/v1/drawers/2/open", port,
                                         "Authorization: Bearer " + token + "\r\n")
                                         .replace("Connection: close\r\n", "")
            + webSocketHandshake("/v1/events")
            + "Host: 127.0.0.1\r\nSec-WebSocket-Protocol: kestrin.v1, kestrin.bearer." + token
            + "\r\n\r\n";
        const auto resume
            = [service = pid_t(systemBus->servicePid())] { ::kill(service, SIGCONT); };
        auto resumeAlways = qScopeGuard(resume);
        QCOMPARE(::kill(pid_t(systemBus->servicePid()), SIGSTOP), 0);
        QTcpSocket connections[EventClients::PerToken + 1];
        for (QTcpSocket &connection : connections) {
            connection.connectToHost(QStringLiteral("127.0.0.1"), port);
            connection.write(pipelined);
            QVERIFY(connection.waitForBytesWritten());
        }
        // Answered once the bridge has read what came before.
        QCOMPARE(rawHttp(port, httpRequest("GET", "/v1/drawers", port)).status, 200);
        resume();
        int upgraded = 0;
        for (QTcpSocket &connection : connections) {
            QByteArray bytes;
            QTRY_VERIFY((bytes += connection.readAll()).count("HTTP/1.1 ") == 2);
            upgraded += bytes.contains("HTTP/1.1 101 ");
        }
        QCOMPARE(upgraded, EventClients::PerToken);
    }

    // An HTTP/1.0 client, which knows no persistent connections, gets an
    // answer of its version, and the connection ends with it.
    void http10ConnectionEndsWithItsAnswer()
    {
        QTcpSocket client;
        client.connectToHost(QStringLiteral("127.0.0.1"), port);
        client.write(QByteArray("GET /v1/drawers HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n").repeated(2));
        QByteArray bytes;
        while (client.waitForReadyRead(5000))
            bytes += client.readAll();
        QVERIFY2(
            bytes.startsWith("HTTP/1.0 200 ") && bytes.count("HTTP/1.") == 1, bytes.constData());
        QVERIFY(bytes.contains("\r\nConnection: close\r\n"));
        QCOMPARE(client.state(), QAbstractSocket::UnconnectedState);
    }

    // While the service is stopped, the bridge answers from what it knows,
    // and an Open ends in 504 after its deadline.
    void stuckServiceDoesNotStallTheBridge()
    {
        const QByteArray bearer = "Authorization: Bearer " + token + "\r\n";
        const pid_t service = pid_t(systemBus->servicePid());
        const int kicks = printer->kicks();
        QCOMPARE(::kill(service, SIGSTOP), 0);
        auto resume = qScopeGuard([service] { ::kill(service, SIGCONT); });
        QTcpSocket waiting;
        waiting.connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY(waiting.waitForConnected());
        // A GET pipelined behind it is answered after it.
        waiting.write(httpRequest("POST", "/v1/drawers/1/open", port, bearer)
                          .replace("Connection: close\r\n", "")
            + httpRequest("GET", "/v1/drawers", port));
        QVERIFY(waiting.waitForBytesWritten());

        QCOMPARE(rawHttp(port, httpRequest("GET", "/v1/drawers", port), 500).status, 200);
        // Not configured: answered without asking the service.
        QCOMPARE(rawHttp(port, httpRequest("POST", "/v1/drawers/5/open", port, bearer), 500).status,
            404);
        QByteArray bytes;
        QTRY_VERIFY_WITH_TIMEOUT((bytes += waiting.readAll()).count("HTTP/1.1 ") == 2, 6000);
        QCOMPARE(parseHttpAnswer(bytes).status, 504);
        QVERIFY(bytes.indexOf("HTTP/1.1 200 ") > 0);
        const QByteArray body = parseHttpAnswer(bytes).body;
        QVERIFY(
            QJsonDocument::fromJson(body.left(body.indexOf("HTTP/1.1 ")))[QLatin1String("error")]
                .isString());
        resume.dismiss();
        QCOMPARE(::kill(service, SIGCONT), 0);
        // The service, running again, answers what it was sent before it
        // fires again.
        QTRY_COMPARE_WITH_TIMEOUT(open(bearer).status, 200, 10000);
        QTRY_VERIFY(printer->kicks() > kicks);
    }

    // With the service gone and the bus unable to start it, every drawer
    // is absent, and Open is 503 with the bridge's own words.
    void goneServiceIs503()
    {
        QVERIFY(systemBus->setActivatable(false));
        auto restore = qScopeGuard([this] { systemBus->setActivatable(true); });
        QCOMPARE(::kill(pid_t(systemBus->servicePid()), SIGTERM), 0);
        // Drawer 2 is never present; drawer 1 is, while the service runs.
        QTRY_COMPARE(drawers().at(0)[QLatin1String("present")], false);
        const HttpAnswer answer = open("Authorization: Bearer " + token + "\r\n", {}, 1);
        QCOMPARE(answer.status, 503);
        const QString error
            = QJsonDocument::fromJson(answer.body)[QLatin1String("error")].toString();
        QVERIFY2(!error.isEmpty() && !error.contains(QLatin1String("org.")), answer.body);
        QCOMPARE(rawHttp(port,
                     httpRequest("POST", "/v1/drawers/1/print", port,
                         "Authorization: Bearer " + token
                             + "\r\nContent-Type: application/octet-stream\r\n",
                         "\x1B@receipt\n"))
                     .status,
            503);
        restore.dismiss();
        QVERIFY(systemBus->setActivatable(true));
        ctl({QStringLiteral("status")});
        QTRY_VERIFY(drawers().at(0)[QLatin1String("present")].toBool());
    }

    void thePageInChromium()
    {
        if (!ownNetwork)
            QSKIP("the browser runs in a network namespace of its own, which needs root");
        HeadlessChromium chromium;
        const QString failed = chromium.start(QStringLiteral("http://localhost:%1/").arg(port));
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        auto tile = [&](int number) {
            return chromium
                .evaluate(QStringLiteral("document.getElementById('drawer-%1').dataset.state")
                              .arg(number))
                .toString();
        };
        QTRY_COMPARE(tile(1), QStringLiteral("closed"));
        QCOMPARE(tile(2), QStringLiteral("absent"));
        QCOMPARE(tile(3), QStringLiteral("unconfigured"));

        QElapsedTimer clock;
        clock.start();
        printer->sensorHigh = true;
        QTRY_COMPARE(tile(1), QStringLiteral("open"));
        // The goal (250 ms) is the benchmark's to measure; shown here.
        qInfo("The page showed the drawer open %lld ms after the sensor changed.",
            qlonglong(clock.elapsed()));
        printer->sensorHigh = false;
        QTRY_COMPARE(tile(1), QStringLiteral("closed"));

        // The first Open asks for the token, which the page then keeps.
        const int kicks = printer->kicks();
        chromium.evaluate(QStringLiteral("document.querySelector('#drawer-1 button').click()"));
        QTRY_VERIFY(
            chromium.evaluate(QStringLiteral("document.getElementById('token-dialog').open"))
                .toBool());
        chromium.evaluate(QStringLiteral("document.getElementById('token-input').value = '%1';"
                                         "document.getElementById('token-ok').click()")
                              .arg(QString::fromLatin1(token)));
        QTRY_COMPARE(printer->kicks(), kicks + 1);
        QTRY_VERIFY(systemBus->log().contains(
            QStringLiteral("web: till-1 from http://localhost:%1: drawer page").arg(port)));
        QTRY_VERIFY(
            chromium.evaluate(QStringLiteral("document.getElementById('message').textContent"))
                .toString()
                .contains(QLatin1String("fired")));
        // The second needs no token (once the first one's pulse is over).
        int status = 409;
        QElapsedTimer pulse;
        pulse.start();
        while (status == 409 && pulse.elapsed() < 2000)
            status = chromium
                         .evaluate(
                             QStringLiteral("fetch('/v1/drawers/1/open', {method: 'POST', headers: "
                                            "{Authorization: 'Bearer ' + localStorage.getItem("
                                            "'kestrin-drawer-web.token')}}).then(r => r.status)"))
                         .toInt();
        QCOMPARE(status, 200);
        QTRY_COMPARE(printer->kicks(), kicks + 2);
    }

    // Without ::1 (IPv6 off in the test's own network), the bridge says so
    // and serves on 127.0.0.1. Started as systemd starts it: the warning
    // with its priority on the journal's stream, ready, and alive.
    void goesOnWithoutIpv6()
    {
        if (!ownNetwork)
            QSKIP("IPv6 is turned off in a network namespace of the test's own, which needs root");
        QFile ipv6(QStringLiteral("/proc/sys/net/ipv6/conf/lo/disable_ipv6"));
        QVERIFY(ipv6.open(QIODevice::WriteOnly) && ipv6.write("1") == 1);
        ipv6.close();
        const QString errors = home.filePath(QStringLiteral("bridge-errors"));
        DatagramSocket notify(QFile::encodeName(home.filePath(QStringLiteral("bridge-notify"))));
        QFile file(errors);
        QVERIFY(notify.isValid() && file.open(QIODevice::ReadWrite));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(
            QStringLiteral("NOTIFY_SOCKET"), home.filePath(QStringLiteral("bridge-notify")));
        environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("100000"));
        environment.insert(QStringLiteral("JOURNAL_STREAM"), journalStream(errors));
        QProcess second;
        second.setProcessEnvironment(environment);
        second.setStandardErrorFile(errors);
        second.start(QStringLiteral(WEB_BRIDGE), {QStringLiteral("--port"), QStringLiteral("0")});
        QByteArray said;
        QTRY_VERIFY((said += second.readAll()).contains("listening on"));
        QVERIFY(file.readAll().startsWith("<4>kestrin-drawer-web: cannot listen on [::1]"));
        QTRY_VERIFY(notify.messages().count("WATCHDOG=1") >= 3);
        QCOMPARE(notify.messages().value(0), QByteArray("READY=1"));
        const QRegularExpressionMatch match
            = QRegularExpression(QStringLiteral(":(\\d+)/\n")).match(QString::fromLatin1(said));
        QVERIFY(match.hasMatch());
        const quint16 secondPort = quint16(match.captured(1).toUInt());
        QCOMPARE(rawHttp(secondPort, httpRequest("GET", "/v1/drawers", secondPort)).status, 200);
        second.terminate();
        QVERIFY(second.waitForFinished());
    }
};

QTEST_GUILESS_MAIN(WebBridgeTest)
#include "tst_webbridge.moc"
