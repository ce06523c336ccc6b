#include "webbridge.h"

#include "busapi.h"
#include "connectionguard.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>

#include <optional>

namespace bus = drawerdriver::bus;
using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;
using Answer = WebBridge::Answer;

namespace {

// The longest body an Open takes; a reason is at most 200 characters.
constexpr qsizetype BodyLimit = 4096;
constexpr int DefaultHeartbeatMs = 10000;

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

Answer jsonAnswer(Status status, const QJsonValue &value)
{
    return {status, jsonBytes(value), "application/json", {}};
}

Answer errorAnswer(Status status, const QString &text)
{
    return jsonAnswer(status, QJsonObject {{QStringLiteral("error"), text}});
}

// Every answer goes out here, with the headers that all of them carry; the
// allowed origin, if any, gets the CORS header.
void send(QHttpServerResponder &responder, const Answer &answer, const QByteArray &cors)
{
    responder.writeStatusLine(answer.status);
    if (!answer.body.isEmpty())
        responder.writeHeader("Content-Type", answer.type);
    responder.writeHeader("Content-Length", QByteArray::number(answer.body.size()));
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    if (answer.status == Status::Unauthorized)
        responder.writeHeader("WWW-Authenticate", "Bearer");
    if (!cors.isEmpty()) {
        responder.writeHeader("Access-Control-Allow-Origin", cors);
        responder.writeHeader("Vary", "Origin");
    }
    for (const auto &[name, value] : answer.headers)
        responder.writeHeader(name, value);
    responder.writeBody(answer.body);
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

bool isDrawers(const QString &path)
{
    return path == QLatin1String("/v1/drawers");
}

bool isOpen(const QString &path)
{
    return openPathNumber(path) != 0;
}

bool isApi(const QString &path)
{
    return path.startsWith(QLatin1String("/v1/"));
}

bool isPage(const QString &path)
{
    return path == QLatin1String("/") || path == QLatin1String("/index.html")
        || path == QLatin1String("/page.css") || path == QLatin1String("/page.js");
}

// The reason in an Open's body, which may be empty; or the answer that
// refuses the body.
std::optional<Answer> readReason(const QByteArray &body, QString *reason)
{
    if (body.size() > BodyLimit)
        return errorAnswer(Status::PayloadTooLarge, QStringLiteral("body too large"));
    if (body.trimmed().isEmpty())
        return std::nullopt;
    QJsonParseError parsed;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parsed);
    const QJsonValue value = document.object().value(QStringLiteral("reason"));
    if (parsed.error != QJsonParseError::NoError || !document.isObject()
        || !(value.isUndefined() || value.isString()))
        return errorAnswer(Status::BadRequest,
            QStringLiteral("the body is a JSON object with an optional string \"reason\""));
    *reason = value.toString();
    return std::nullopt;
}

// The answer to Open: the service's own words for its refusals, plain
// words of the bridge's for the bus's errors, whose text is not shown.
Answer openAnswer(int number, DrawerBus::OpenResult result, const QString &serviceMessage)
{
    using Result = DrawerBus::OpenResult;
    auto said = [&](const QString &otherwise) {
        return serviceMessage.isEmpty() ? otherwise : serviceMessage;
    };
    switch (result) {
    case Result::Done:
        return jsonAnswer(Status::Ok,
            QJsonObject {{QStringLiteral("number"), number}, {QStringLiteral("opened"), true}});
    case Result::NotConfigured:
        return errorAnswer(Status::NotFound, said(QStringLiteral("not configured")));
    case Result::NotPresent:
        return errorAnswer(Status::Conflict, said(QStringLiteral("not present")));
    case Result::Busy:
        return errorAnswer(Status::Conflict, said(QStringLiteral("fired moments ago")));
    case Result::Refused:
        return errorAnswer(Status::ServiceUnavailable,
            QStringLiteral("the system bus does not let the bridge call the drawer service"));
    case Result::TimedOut:
        return errorAnswer(
            Status::GatewayTimeout, QStringLiteral("the drawer service did not answer in time"));
    case Result::Failed:
        return errorAnswer(Status::ServiceUnavailable,
            said(QStringLiteral("the drawer service could not fire the drawer")));
    case Result::NoService:
        break;
    }
    return errorAnswer(
        Status::ServiceUnavailable, QStringLiteral("the drawer service is not running"));
}

} // namespace

// Each path and method the bridge answers; the first that matches serves.
const WebBridge::Route WebBridge::Routes[] = {
    {Method::Get, isDrawers, &WebBridge::serveDrawers},
    {Method::Post, isOpen, &WebBridge::serveOpen},
    {Method::Options, isApi, &WebBridge::servePreflight},
    {Method::Get, isPage, &WebBridge::servePage},
};

WebBridge::WebBridge(
    DrawerBus *drawers, TokenStore tokens, QStringList allowOrigins, QObject *parent)
    : QAbstractHttpServer(parent), m_drawers(drawers), m_tokens(std::move(tokens)),
      m_allowOrigins(std::move(allowOrigins)), m_guard(new ConnectionGuard(this)),
      m_heartbeatMs(qEnvironmentVariableIntValue("KESTRIN_WEB_HEARTBEAT_MS"))
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
    // KESTRIN_WEB_HEARTBEAT_MS: a shorter interval, for tests.
    if (m_heartbeatMs <= 0)
        m_heartbeatMs = DefaultHeartbeatMs;
    connect(&m_heartbeat, &QTimer::timeout, this, &WebBridge::heartbeat);
    m_heartbeat.start(m_heartbeatMs);
}

quint16 WebBridge::listenOnLoopback(quint16 port, QString *error)
{
    QString why;
    QTcpServer *ipv4 = m_guard->listen(QHostAddress::LocalHost, port, &why);
    if (!ipv4) {
        *error = QStringLiteral("cannot listen on 127.0.0.1 port %1: %2").arg(port).arg(why);
        return 0;
    }
    port = ipv4->serverPort();
    bind(ipv4);
    if (QTcpServer *ipv6 = m_guard->listen(QHostAddress::LocalHostIPv6, port, &why))
        bind(ipv6);
    else
        qWarning("kestrin-drawer-web: cannot listen on [::1] port %u (%s); going on with "
                 "127.0.0.1 only",
            port, qPrintable(why));
    // The bridge's own page, by each of its names.
    for (const char *host : {"127.0.0.1", "localhost", "[::1]"})
        m_allowOrigins.append(QStringLiteral("http://%1:%2").arg(QLatin1String(host)).arg(port));
    return port;
}

bool WebBridge::originAllowed(const QByteArray &origin) const
{
    return m_allowOrigins.contains(QString::fromUtf8(origin));
}

bool WebBridge::acceptUpgrade(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const QByteArray origin = request.value("origin");
    if (!loopbackHost(request.value("host")))
        m_refusal = {Status::Forbidden, QStringLiteral("host not allowed")};
    else if (request.url().path() != QLatin1String("/v1/events"))
        m_refusal = {Status::NotFound, QStringLiteral("not found")};
    else if (origin.isEmpty() || !originAllowed(origin)) // CORS does not cover WebSockets
        m_refusal = {Status::Forbidden, QStringLiteral("origin not allowed")};
    else if (m_clients.size() >= std::min(MaxClients, m_guard->capacity() / 2))
        m_refusal = {Status::ServiceUnavailable, QStringLiteral("too many clients")};
    else {
        m_guard->upgraded(socket);
        return true;
    }
    return false;
}

bool WebBridge::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // For a WebSocket upgrade, true hands the connection to Qt's WebSocket
    // server, and false has missingHandler refuse it.
    if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0)
        return acceptUpgrade(request, socket);
    m_guard->answering(socket);
    const QString path = request.url().path();
    const QByteArray origin = request.value("origin");
    // A page elsewhere may point a name of its own at 127.0.0.1 (DNS
    // rebinding); only requests to a loopback name are for the bridge.
    if (!loopbackHost(request.value("host")))
        replyTo(request, socket, {})(
            errorAnswer(Status::Forbidden, QStringLiteral("host not allowed")));
    else if (path == QLatin1String("/v1/events"))
        replyTo(request, socket, {})(
            errorAnswer(Status::UpgradeRequired, QStringLiteral("WebSocket only")));
    else if (!origin.isEmpty() && !originAllowed(origin) && isApi(path))
        replyTo(request, socket, {})(
            errorAnswer(Status::Forbidden, QStringLiteral("origin not allowed")));
    else
        route({request, path, origin,
            replyTo(request, socket, originAllowed(origin) ? origin : QByteArray())});
    return true;
}

void WebBridge::route(const Call &call)
{
    bool otherMethod = false;
    for (const Route &route : Routes) {
        if (!route.matches(call.path))
            continue;
        if (route.method == call.request.method()) {
            (this->*route.serve)(call);
            return;
        }
        otherMethod = otherMethod || route.method != Method::Options;
    }
    if (otherMethod && isApi(call.path))
        call.reply(errorAnswer(Status::MethodNotAllowed, QStringLiteral("method not allowed")));
    else
        call.reply(errorAnswer(Status::NotFound, QStringLiteral("not found")));
}

// Sends through the request's responder, if the client is still there: an
// answer from the drawer service may come after it has gone.
WebBridge::Reply WebBridge::replyTo(
    const QHttpServerRequest &request, QTcpSocket *socket, const QByteArray &cors)
{
    const quint64 id = m_nextAnswer++;
    m_responders.emplace(id, makeResponder(request, socket));
    return [this, id, socket = QPointer<QTcpSocket>(socket), cors](const Answer &answer) {
        auto responder = m_responders.extract(id);
        if (responder.empty() || !socket || socket->state() != QAbstractSocket::ConnectedState)
            return;
        send(responder.mapped(), answer, cors);
        m_guard->answered(socket);
    };
}

void WebBridge::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    replyTo(request, socket, {})(errorAnswer(m_refusal.status, m_refusal.text));
    m_refusal = {};
}

void WebBridge::serveDrawers(const Call &call)
{
    call.reply(jsonAnswer(Status::Ok, configuredDrawers(m_drawers->drawers())));
}

// A browser's preflight for an allowed origin.
void WebBridge::servePreflight(const Call &call)
{
    if (call.origin.isEmpty()) {
        call.reply(errorAnswer(Status::BadRequest, QStringLiteral("a preflight has an Origin")));
        return;
    }
    call.reply({Status::NoContent, {}, {},
        {{"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
            {"Access-Control-Allow-Headers", "Authorization, Content-Type"},
            {"Access-Control-Max-Age", "600"}}});
}

void WebBridge::servePage(const Call &call)
{
    const QString name
        = call.path == QLatin1String("/") ? QStringLiteral("index.html") : call.path.mid(1);
    QFile file(QStringLiteral(":/web/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        call.reply(errorAnswer(Status::NotFound, QStringLiteral("not found")));
        return;
    }
    const QByteArray type = name.endsWith(QLatin1String(".html")) ? "text/html; charset=utf-8"
        : name.endsWith(QLatin1String(".css"))                    ? "text/css; charset=utf-8"
                                               : "text/javascript; charset=utf-8";
    // The page may not be framed by others, nor load anything from elsewhere.
    call.reply({Status::Ok, file.readAll(), type,
        {{"Content-Security-Policy",
             "default-src 'self'; connect-src 'self' ws: ; frame-ancestors 'none'"},
            {"X-Frame-Options", "DENY"}}});
}

void WebBridge::serveOpen(const Call &call)
{
    const int number = openPathNumber(call.path);
    const QByteArray authorization = call.request.value("authorization");
    const QByteArray scheme = "Bearer ";
    const QString name = authorization.startsWith(scheme)
        ? m_tokens.nameOf(authorization.mid(scheme.size()).trimmed())
        : QString();
    if (name.isEmpty()) {
        call.reply(errorAnswer(Status::Unauthorized, QStringLiteral("no or unknown token")));
        return;
    }
    if (!bus::isDrawerNumber(number)) {
        call.reply(errorAnswer(Status::NotFound, QStringLiteral("no such drawer")));
        return;
    }
    // The bridge knows the configuration: the service is not asked.
    if (m_drawers->known() && !m_drawers->drawers()[number - 1].configured) {
        call.reply(errorAnswer(
            Status::NotFound, QStringLiteral("drawer %1 is not configured").arg(number)));
        return;
    }
    QString reason;
    if (const std::optional<Answer> refused = readReason(call.request.body(), &reason)) {
        call.reply(*refused);
        return;
    }
    // The record shows who asked through the bridge, and from where.
    QString record = QStringLiteral("web: %1 from %2")
                         .arg(name,
                             call.origin.isEmpty() ? QStringLiteral("a local program")
                                                   : QString::fromUtf8(call.origin));
    if (!reason.isEmpty())
        record += QStringLiteral(": ") + reason;
    m_drawers->open(number, record,
        [reply = call.reply, number](DrawerBus::OpenResult result, const QString &message) {
            if (result == DrawerBus::OpenResult::Refused)
                qWarning("kestrin-drawer-web: the system bus refuses the bridge's Open: is its "
                         "user in the group kestrin-drawer, and the bus policy installed?");
            reply(openAnswer(number, result, message));
        });
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
    // A client that has not answered three pings is gone.
    const qint64 clientTimeoutMs = 3 * m_heartbeatMs + m_heartbeatMs / 2;
    QList<QWebSocket *> gone;
    for (const Client &client : std::as_const(m_clients))
        if (now - client.lastPongMs > clientTimeoutMs)
            gone.append(client.socket);
    for (QWebSocket *socket : gone)
        socket->abort(); // its disconnected() takes it off the list
    sendToAll(jsonBytes(QJsonObject {{QStringLiteral("event"), QStringLiteral("heartbeat")},
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}}));
    for (const Client &client : std::as_const(m_clients))
        client.socket->ping();
}
