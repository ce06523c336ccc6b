#include "webbridge.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>

using Status = QHttpServerResponder::StatusCode;

namespace {

// The longest body an Open takes; a reason is at most 200 characters.
constexpr qsizetype BodyLimit = 4096;
// Unread bytes a connection may pile up before it is dropped: a request's
// head and the largest body, with room to spare.
constexpr qint64 ConnectionLimit = 64 * 1024;
constexpr int HeartbeatMs = 10000;
// A client that has not answered the pings for this long is gone.
constexpr qint64 ClientTimeoutMs = 3 * HeartbeatMs + 2000;

// Connections whose unread bytes grow past the limit are cut, so that an
// endless request cannot fill the bridge's memory.
class GuardedTcpServer : public QTcpServer {
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            if (socket->bytesAvailable() > ConnectionLimit)
                socket->abort();
        });
        addPendingConnection(socket);
    }
};

// "localhost", "127.0.0.1", "[::1]", with or without a port.
bool loopbackHost(const QByteArray &host)
{
    const QUrl url(QStringLiteral("http://") + QString::fromLatin1(host));
    if (!url.isValid() || host.isEmpty() || !url.userInfo().isEmpty() || url.path().size() > 0)
        return false;
    const QString name = url.host();
    if (name == QLatin1String("localhost"))
        return true;
    const QHostAddress address(name);
    return !address.isNull() && address.isLoopback();
}

QByteArray jsonBytes(const QJsonValue &value)
{
    return value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                           : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
}

QByteArray errorBody(const QString &text)
{
    return jsonBytes(QJsonObject {{QStringLiteral("error"), text}});
}

// One whole response; the allowed origin, if any, gets the CORS header.
void reply(QHttpServerResponder &responder, Status status, const QByteArray &body,
    const QByteArray &origin = {}, const QByteArray &type = "application/json")
{
    responder.writeStatusLine(status);
    responder.writeHeader("Content-Type", type);
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    if (status == Status::Unauthorized)
        responder.writeHeader("WWW-Authenticate", "Bearer");
    if (!origin.isEmpty()) {
        responder.writeHeader("Access-Control-Allow-Origin", origin);
        responder.writeHeader("Vary", "Origin");
    }
    responder.writeBody(body);
}

QJsonArray configuredDrawers(const WebDrawers &drawers)
{
    QJsonArray list;
    for (const WebDrawer &drawer : drawers)
        if (drawer.configured)
            list.append(drawer.toJson());
    return list;
}

QByteArray stateMessage(const WebDrawers &drawers)
{
    return jsonBytes(QJsonObject {{QStringLiteral("event"), QStringLiteral("state")},
        {QStringLiteral("drawers"), configuredDrawers(drawers)}});
}

// "/v1/drawers/N/open": N, or 0 when the path is not of that form.
int openPathNumber(const QString &path)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() != 5 || parts[1] != QLatin1String("v1") || parts[2] != QLatin1String("drawers")
        || parts[4] != QLatin1String("open"))
        return 0;
    bool ok = false;
    const int number = parts[3].toInt(&ok);
    return ok && parts[3].size() <= 3 ? (number > 0 ? number : -1) : -1;
}

} // namespace

WebBridge::WebBridge(
    DrawerBus *drawers, TokenStore tokens, QStringList allowOrigins, QObject *parent)
    : QAbstractHttpServer(parent), m_drawers(drawers), m_tokens(std::move(tokens)),
      m_allowOrigins(std::move(allowOrigins))
{
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebBridge::acceptClients);
    connect(m_drawers, &DrawerBus::drawerChanged, this, [this](int number) {
        const WebDrawer &drawer = m_drawers->drawers()[number - 1];
        if (!drawer.configured)
            return;
        QJsonObject change = drawer.toJson();
        change.insert(QStringLiteral("event"), QStringLiteral("change"));
        sendToAll(jsonBytes(change));
    });
    connect(m_drawers, &DrawerBus::drawersReset, this,
        [this] { sendToAll(stateMessage(m_drawers->drawers())); });
    connect(&m_heartbeat, &QTimer::timeout, this, &WebBridge::heartbeat);
    m_heartbeat.start(HeartbeatMs);
}

quint16 WebBridge::listenOnLoopback(quint16 port, QString *error)
{
    auto *ipv4 = new GuardedTcpServer(this);
    if (!ipv4->listen(QHostAddress::LocalHost, port)) {
        *error = QStringLiteral("cannot listen on 127.0.0.1 port %1: %2")
                     .arg(port)
                     .arg(ipv4->errorString());
        delete ipv4;
        return 0;
    }
    port = ipv4->serverPort();
    bind(ipv4);
    auto *ipv6 = new GuardedTcpServer(this);
    if (ipv6->listen(QHostAddress::LocalHostIPv6, port)) {
        bind(ipv6);
    } else {
        qWarning("kestrin-drawer-web: cannot listen on [::1] port %u (%s); going on with "
                 "127.0.0.1 only",
            port, qPrintable(ipv6->errorString()));
        delete ipv6;
    }
    // The bridge's own page, by each of its names.
    for (const char *host : {"127.0.0.1", "localhost", "[::1]"})
        m_allowOrigins.append(QStringLiteral("http://%1:%2").arg(QLatin1String(host)).arg(port));
    return port;
}

bool WebBridge::originAllowed(const QByteArray &origin) const
{
    return m_allowOrigins.contains(QString::fromUtf8(origin));
}

bool WebBridge::acceptUpgrade(const QHttpServerRequest &request)
{
    const QByteArray origin = request.value("origin");
    if (!loopbackHost(request.value("host")))
        m_refusal = {Status::Forbidden, QStringLiteral("host not allowed")};
    else if (request.url().path() != QLatin1String("/v1/events"))
        m_refusal = {Status::NotFound, QStringLiteral("not found")};
    else if (origin.isEmpty() || !originAllowed(origin)) // CORS does not cover WebSockets
        m_refusal = {Status::Forbidden, QStringLiteral("origin not allowed")};
    else if (m_clients.size() >= MaxClients)
        m_refusal = {Status::ServiceUnavailable, QStringLiteral("too many clients")};
    else
        return true;
    return false;
}

bool WebBridge::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // For a WebSocket upgrade, true hands the connection to Qt's WebSocket
    // server, and false has missingHandler refuse it.
    if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0)
        return acceptUpgrade(request);
    QHttpServerResponder responder = makeResponder(request, socket);
    // A page elsewhere may point a name of its own at 127.0.0.1 (DNS
    // rebinding); only requests to a loopback name are for the bridge.
    if (!loopbackHost(request.value("host"))) {
        reply(responder, Status::Forbidden, errorBody(QStringLiteral("host not allowed")));
        return true;
    }
    const QString path = request.url().path();
    const QByteArray origin = request.value("origin");
    const bool foreign = !origin.isEmpty() && !originAllowed(origin);
    const QByteArray cors = foreign ? QByteArray() : origin;
    const auto method = request.method();

    if (path == QLatin1String("/v1/events")) {
        reply(responder, Status::UpgradeRequired, errorBody(QStringLiteral("WebSocket only")));
        return true;
    }
    if (path.startsWith(QLatin1String("/v1/")) && foreign) {
        reply(responder, Status::Forbidden, errorBody(QStringLiteral("origin not allowed")));
        return true;
    }
    if (path.startsWith(QLatin1String("/v1/")) && method == QHttpServerRequest::Method::Options) {
        // A browser's preflight for an allowed origin.
        responder.writeStatusLine(origin.isEmpty() ? Status::BadRequest : Status::NoContent);
        if (!origin.isEmpty()) {
            responder.writeHeader("Access-Control-Allow-Origin", origin);
            responder.writeHeader("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
            responder.writeHeader("Access-Control-Allow-Headers", "Authorization, Content-Type");
            responder.writeHeader("Access-Control-Max-Age", "600");
            responder.writeHeader("Vary", "Origin");
        }
        responder.writeHeader("Content-Length", "0");
        responder.writeBody(QByteArray());
        return true;
    }
    const int openNumber = openPathNumber(path);
    if (openNumber != 0 && method == QHttpServerRequest::Method::Post) {
        serveOpen(request, responder, openNumber, cors);
    } else if (path == QLatin1String("/v1/drawers") && method == QHttpServerRequest::Method::Get) {
        reply(responder, Status::Ok, jsonBytes(configuredDrawers(m_drawers->drawers())), cors);
    } else if (path.startsWith(QLatin1String("/v1/"))
        && (openNumber != 0 || path == QLatin1String("/v1/drawers"))) {
        reply(responder, Status::MethodNotAllowed, errorBody(QStringLiteral("method not allowed")),
            cors);
    } else if (method != QHttpServerRequest::Method::Get) {
        reply(responder, Status::NotFound, errorBody(QStringLiteral("not found")), cors);
    } else if (path == QLatin1String("/") || path == QLatin1String("/index.html")) {
        serveFile(responder, QStringLiteral("index.html"));
    } else if (path == QLatin1String("/page.css") || path == QLatin1String("/page.js")) {
        serveFile(responder, path.mid(1));
    } else {
        reply(responder, Status::NotFound, errorBody(QStringLiteral("not found")), cors);
    }
    return true;
}

void WebBridge::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    reply(responder, m_refusal.status, errorBody(m_refusal.text));
    m_refusal = {};
}

void WebBridge::serveFile(QHttpServerResponder &responder, const QString &name)
{
    QFile file(QStringLiteral(":/web/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        reply(responder, Status::NotFound, errorBody(QStringLiteral("not found")));
        return;
    }
    const QByteArray type = name.endsWith(QLatin1String(".html")) ? "text/html; charset=utf-8"
        : name.endsWith(QLatin1String(".css"))                    ? "text/css; charset=utf-8"
                                               : "text/javascript; charset=utf-8";
    responder.writeStatusLine(Status::Ok);
    // The page may not be framed by others, nor load anything from elsewhere.
    responder.writeHeader("Content-Security-Policy",
        "default-src 'self'; connect-src 'self' ws: ; frame-ancestors 'none'");
    responder.writeHeader("X-Frame-Options", "DENY");
    const QByteArray body = file.readAll();
    responder.writeHeader("Content-Type", type);
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    responder.writeBody(body);
}

void WebBridge::serveOpen(const QHttpServerRequest &request, QHttpServerResponder &responder,
    int number, const QByteArray &origin)
{
    const QByteArray authorization = request.value("authorization");
    const QByteArray scheme = "Bearer ";
    const QString name = authorization.startsWith(scheme)
        ? m_tokens.nameOf(authorization.mid(scheme.size()).trimmed())
        : QString();
    if (name.isEmpty()) {
        reply(responder, Status::Unauthorized, errorBody(QStringLiteral("no or unknown token")),
            origin);
        return;
    }
    if (!drawerdriver::bus::isDrawerNumber(number)) {
        reply(responder, Status::NotFound, errorBody(QStringLiteral("no such drawer")), origin);
        return;
    }
    const QByteArray body = request.body();
    if (body.size() > BodyLimit) {
        reply(responder, Status::PayloadTooLarge, errorBody(QStringLiteral("body too large")),
            origin);
        return;
    }
    QString reason;
    if (!body.trimmed().isEmpty()) {
        QJsonParseError parsed;
        const QJsonDocument document = QJsonDocument::fromJson(body, &parsed);
        const QJsonValue value = document.object().value(QStringLiteral("reason"));
        if (parsed.error != QJsonParseError::NoError || !document.isObject()
            || !(value.isUndefined() || value.isString())) {
            reply(responder, Status::BadRequest,
                errorBody(QStringLiteral("the body is a JSON object with an optional string "
                                         "\"reason\"")),
                origin);
            return;
        }
        reason = value.toString();
    }
    // The record shows who asked through the bridge, and from where.
    QString record
        = QStringLiteral("web: %1 from %2")
              .arg(name,
                  origin.isEmpty() ? QStringLiteral("a local program") : QString::fromUtf8(origin));
    if (!reason.isEmpty())
        record += QStringLiteral(": ") + reason;

    QString message;
    static const QMap<DrawerBus::OpenResult, Status> statuses {
        {DrawerBus::OpenResult::Done, Status::Ok},
        {DrawerBus::OpenResult::NotConfigured, Status::NotFound},
        {DrawerBus::OpenResult::NotPresent, Status::Conflict},
        {DrawerBus::OpenResult::Busy, Status::Conflict},
        {DrawerBus::OpenResult::Refused, Status::InternalServerError},
        {DrawerBus::OpenResult::NoService, Status::ServiceUnavailable}};
    const DrawerBus::OpenResult result = m_drawers->open(number, record, &message);
    if (result == DrawerBus::OpenResult::Refused)
        qWarning("kestrin-drawer-web: the drawer service refused Open: is this user in the "
                 "group kestrin-drawer?");
    const QByteArray answer = result == DrawerBus::OpenResult::Done
        ? jsonBytes(
            QJsonObject {{QStringLiteral("number"), number}, {QStringLiteral("opened"), true}})
        : errorBody(message);
    reply(responder, statuses.value(result), answer, origin);
}

void WebBridge::acceptClients()
{
    while (hasPendingWebSocketConnections()) {
        QWebSocket *socket = nextPendingWebSocketConnection().release();
        socket->setParent(this);
        // Clients only listen; a message from one is not read, and a big
        // one is cut off.
        socket->setMaxAllowedIncomingMessageSize(1024);
        socket->setMaxAllowedIncomingFrameSize(1024);
        m_clients.append({socket, QDateTime::currentMSecsSinceEpoch()});
        connect(socket, &QWebSocket::pong, this, [this, socket] {
            for (Client &client : m_clients)
                if (client.socket == socket)
                    client.lastPongMs = QDateTime::currentMSecsSinceEpoch();
        });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            m_clients.removeIf([socket](const Client &client) { return client.socket == socket; });
            socket->deleteLater();
        });
        socket->sendTextMessage(QString::fromUtf8(stateMessage(m_drawers->drawers())));
    }
}

void WebBridge::sendToAll(const QByteArray &message)
{
    const QString text = QString::fromUtf8(message);
    for (const Client &client : std::as_const(m_clients))
        client.socket->sendTextMessage(text);
}

void WebBridge::heartbeat()
{
    // A text message, which a page's script sees (it cannot see pings),
    // and a ping, whose missing answers tell a client that is gone.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QList<QWebSocket *> gone;
    for (const Client &client : std::as_const(m_clients))
        if (now - client.lastPongMs > ClientTimeoutMs)
            gone.append(client.socket);
    for (QWebSocket *socket : gone)
        socket->abort(); // its disconnected() takes it off the list
    sendToAll(jsonBytes(QJsonObject {{QStringLiteral("event"), QStringLiteral("heartbeat")},
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}}));
    for (const Client &client : std::as_const(m_clients))
        client.socket->ping();
}
