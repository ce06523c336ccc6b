#include "webbridge.h"

#include "busapi.h"
#include "connectionguard.h"
#include "eventclients.h"

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

#include <algorithm>
#include <optional>

namespace bus = drawerdriver::bus;
using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;
using Answer = WebBridge::Answer;

namespace {

// The most answers a connection may wait for (its requests pipelined);
// another is refused and the connection closed after it.
constexpr size_t MostQueued = 16;
// A client that does not read its answers is cut off beyond this.
constexpr qint64 WriteBacklog = 64 * 1024;
// A WebSocket client's token: the secret in a subprotocol of this prefix.
constexpr QByteArrayView BearerPrefix = "kestrin.bearer.";

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

// The words after the status code, for the codes the bridge answers with.
QByteArray reasonPhrase(Status status)
{
    switch (status) {
    case Status::Ok:
        return "OK";
    case Status::NoContent:
        return "No Content";
    case Status::BadRequest:
        return "Bad Request";
    case Status::Unauthorized:
        return "Unauthorized";
    case Status::Forbidden:
        return "Forbidden";
    case Status::NotFound:
        return "Not Found";
    case Status::MethodNotAllowed:
        return "Method Not Allowed";
    case Status::Conflict:
        return "Conflict";
    case Status::PayloadTooLarge:
        return "Payload Too Large";
    case Status::UpgradeRequired:
        return "Upgrade Required";
    case Status::RequestHeaderFieldsTooLarge:
        return "Request Header Fields Too Large";
    case Status::ServiceUnavailable:
        return "Service Unavailable";
    case Status::GatewayTimeout:
        return "Gateway Timeout";
    default:
        return {};
    }
}

// Writes an answer as QHttpServerResponder does, for a request refused
// before the HTTP server has read it, which it has no responder for yet,
// and for an HTTP/1.0 request, answered in its own version.
class OwnResponder {
public:
    OwnResponder(QTcpSocket *socket, QByteArrayView version) : m_socket(socket), m_version(version)
    {
    }
    void writeStatusLine(Status status)
    {
        m_socket->write(m_version.toByteArray() + ' ' + QByteArray::number(int(status)) + ' '
            + reasonPhrase(status) + "\r\n");
    }
    void writeHeader(const QByteArray &name, const QByteArray &value)
    {
        m_socket->write(name + ": " + value + "\r\n");
    }
    void writeBody(const QByteArray &body) { m_socket->write("\r\n" + body); }

private:
    QTcpSocket *m_socket;
    QByteArrayView m_version;
};

// Every answer goes out here, with the headers that all of them carry; the
// allowed origin, if any, gets the CORS header.
template<typename Responder>
void send(Responder &responder, const Answer &answer, const QByteArray &cors)
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
    if (body.size() > ConnectionGuard::BodyLimit)
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

// The subprotocols a WebSocket handshake offers: kestrin.v1, and the
// secrets of any kestrin.bearer.TOKEN.
struct Offer {
    bool v1 = false;
    QList<QByteArray> secrets;
};

Offer offerOf(const QHttpServerRequest &request)
{
    Offer offer;
    for (const auto &[name, value] : request.headers()) {
        if (name.compare("sec-websocket-protocol", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray &entry : value.split(',')) {
            const QByteArray protocol = entry.trimmed();
            if (protocol == EventClients::Subprotocol)
                offer.v1 = true;
            else if (protocol.startsWith(BearerPrefix))
                offer.secrets.append(protocol.mid(BearerPrefix.size()));
        }
    }
    return offer;
}

} // namespace

// Each path and method the bridge answers; the first that matches serves.
const WebBridge::Route WebBridge::Routes[] = {
    {Method::Get, isDrawers, &WebBridge::serveDrawers},
    {Method::Post, isOpen, &WebBridge::serveOpen},
    {Method::Post, WebBridge::isPrintPath, &WebBridge::servePrint},
    {Method::Options, isApi, &WebBridge::servePreflight},
    {Method::Get, isPage, &WebBridge::servePage},
};

WebBridge::WebBridge(
    DrawerBus *drawers, TokenStore tokens, QStringList allowOrigins, QObject *parent)
    : QAbstractHttpServer(parent), m_drawers(drawers), m_tokens(std::move(tokens)),
      m_allowOrigins(std::move(allowOrigins)),
      m_guard(
          new ConnectionGuard([this](QTcpSocket *socket, ConnectionGuard::Refusal why,
                                  const QByteArray &origin) { refuseUnread(socket, why, origin); },
              this)),
      m_clients(new EventClients(
          std::min(MostTokenlessClients, m_guard->capacity() / 4),
          [this] { return stateMessage(m_drawers->drawers()); }, this))
{
    m_guard->setBodyLimit([this](const QByteArray &head) { return bodyLimitOf(head); });
    connect(m_drawers, &DrawerBus::drawerChanged, this, [this](int number) {
        const WebDrawer &drawer = m_drawers->drawers()[number - 1];
        if (!drawer.configured)
            return;
        QJsonObject change = drawer.toJson();
        change.insert(QStringLiteral("event"), QStringLiteral("change"));
        m_clients->sendToAll(jsonBytes(change));
    });
    connect(m_drawers, &DrawerBus::drawersReset, this,
        [this] { m_clients->sendToAll(stateMessage(m_drawers->drawers())); });
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

// The answer that refuses a WebSocket handshake, or none: the connection
// has taken a slot, and is handed to the WebSocket server in its turn.
std::optional<Answer> WebBridge::judgeUpgrade(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const QByteArray origin = request.value("origin");
    if (!loopbackHost(request.value("host")))
        return errorAnswer(Status::Forbidden, QStringLiteral("host not allowed"));
    if (request.url().path() != QLatin1String("/v1/events"))
        return errorAnswer(Status::NotFound, QStringLiteral("not found"));
    // CORS does not cover WebSockets: the origin is checked here.
    if (!origin.isEmpty() && !originAllowed(origin))
        return errorAnswer(Status::Forbidden, QStringLiteral("origin not allowed"));
    const Offer offer = offerOf(request);
    QString token;
    if (offer.secrets.size() > 1 || (offer.secrets.size() == 1 && !offer.v1))
        return errorAnswer(Status::BadRequest,
            QStringLiteral("a token is offered once, as kestrin.bearer.TOKEN beside kestrin.v1"));
    if (!offer.secrets.isEmpty() && (token = m_tokens.nameOf(offer.secrets[0])).isEmpty())
        return errorAnswer(Status::Unauthorized, QStringLiteral("unknown token"));
    // A local program has no origin: it may follow the drawers with a token.
    if (origin.isEmpty() && token.isEmpty())
        return errorAnswer(Status::Forbidden, QStringLiteral("origin not allowed"));
    // Taken now, not when earlier answers on the connection are out, so
    // that pipelined handshakes cannot pass the limits.
    if (!m_clients->takeSlot(socket, token))
        return errorAnswer(Status::ServiceUnavailable,
            token.isEmpty() ? QStringLiteral("too many clients")
                            : QStringLiteral("too many clients with this token"));
    return std::nullopt;
}

bool WebBridge::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // Qt's HTTP server carries out an upgrade only for true, with its own
    // WebSocket server, which chooses no subprotocol: false has
    // missingHandler hand it to the bridge's own, or refuse it.
    if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
        m_upgradeRefusal = judgeUpgrade(request, socket);
        return false;
    }
    if (const auto it = m_queues.find(socket);
        it != m_queues.end() && it->second.entries.size() >= MostQueued) {
        // Not carried out: the connection is closed after its last answer.
        stopReading(socket);
        enqueue(socket,
            {makeResponder(request, socket), {},
                errorAnswer(Status::ServiceUnavailable,
                    QStringLiteral("too many requests waiting on one connection")),
                Then::Close});
        flush(socket);
        return true;
    }
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

// A WebSocket handshake, after the HTTP server has read it: it goes to the
// WebSocket server in its turn, its bytes unread again, or is refused.
void WebBridge::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    m_guard->keepOpen(socket);
    stopReading(socket);
    socket->rollbackTransaction();
    Queued queued {
        makeResponder(request, socket), {}, std::exchange(m_upgradeRefusal, {}), Then::WebSocket};
    if (queued.answer)
        queued.then = Then::Close;
    enqueue(socket, std::move(queued));
    flush(socket);
}

void WebBridge::refuseUnread(
    QTcpSocket *socket, ConnectionGuard::Refusal why, const QByteArray &origin)
{
    using Refusal = ConnectionGuard::Refusal;
    stopReading(socket);
    enqueue(socket,
        {std::nullopt, originAllowed(origin) ? origin : QByteArray(),
            why == Refusal::HeadTooLong ? errorAnswer(
                Status::RequestHeaderFieldsTooLarge, QStringLiteral("request head too large"))
                : why == Refusal::BodyTooLong
                ? errorAnswer(Status::PayloadTooLarge, QStringLiteral("body too large"))
                : errorAnswer(Status::BadRequest,
                    QStringLiteral("the body's length is unclear: one Content-Length of digits, "
                                   "or chunks without one")),
            Then::Close, m_guard->isHttp10(socket)});
    flush(socket);
}

// The HTTP server reads no more requests from the connection.
void WebBridge::stopReading(QTcpSocket *socket)
{
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
}

// The answer's number in the connection's queue.
quint64 WebBridge::enqueue(QTcpSocket *socket, Queued queued)
{
    auto [it, created] = m_queues.try_emplace(socket);
    if (created)
        connect(socket, &QObject::destroyed, this, [this, socket] { m_queues.erase(socket); });
    Queue &queue = it->second;
    m_guard->answering(socket);
    queue.entries.push_back(std::move(queued));
    return queue.first + queue.entries.size() - 1;
}

// Sends the answers at the front of the connection's queue that are known.
void WebBridge::flush(QTcpSocket *socket)
{
    const auto it = m_queues.find(socket);
    if (it == m_queues.end())
        return;
    Queue &queue = it->second;
    while (!queue.entries.empty()
        && (queue.entries.front().answer || queue.entries.front().then == Then::WebSocket)) {
        Queued queued = std::move(queue.entries.front());
        queue.entries.pop_front();
        ++queue.first;
        if (queued.then != Then::KeepOpen) {
            m_queues.erase(it); // the connection takes no more requests
            write(socket, queued);
            return;
        }
        write(socket, queued);
    }
    if (socket->bytesToWrite() > WriteBacklog)
        socket->abort(); // a client that does not read its answers
    else if (queue.entries.empty())
        m_guard->answered(socket);
}

void WebBridge::write(QTcpSocket *socket, Queued &queued)
{
    if (queued.then == Then::WebSocket) {
        // Qt's server would delete it once it has disconnected; the
        // WebSocket server and its client look after it now.
        disconnect(socket, &QTcpSocket::disconnected, socket, nullptr);
        m_guard->upgraded(socket);
        m_clients->handOver(socket);
        return;
    }
    if (queued.then == Then::Close)
        queued.answer->headers.append(std::pair<QByteArray, QByteArray>("Connection", "close"));
    if (queued.responder) {
        send(*queued.responder, *queued.answer, queued.cors);
    } else {
        OwnResponder responder(socket, queued.http10 ? "HTTP/1.0" : "HTTP/1.1");
        send(responder, *queued.answer, queued.cors);
    }
    if (queued.then == Then::Close)
        m_guard->closeAfterWrites(socket);
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

// Takes the request's place in its connection's queue; the answer is sent
// in its turn, if the client is still there: an answer from the drawer
// service may come after it has gone.
WebBridge::Reply WebBridge::replyTo(
    const QHttpServerRequest &request, QTcpSocket *socket, const QByteArray &cors)
{
    // An HTTP/1.0 client knows no persistent connections: its connection
    // ends with this answer, which Qt's responder would give as HTTP/1.1.
    const bool http10 = m_guard->isHttp10(socket);
    if (http10)
        stopReading(socket);
    const quint64 number = enqueue(socket,
        {http10 ? std::nullopt : std::optional(makeResponder(request, socket)), cors, {},
            http10 ? Then::Close : Then::KeepOpen, http10});
    return [this, number, socket = QPointer<QTcpSocket>(socket)](const Answer &answer) {
        if (!socket)
            return;
        const auto it = m_queues.find(socket);
        if (it == m_queues.end() || number < it->second.first)
            return;
        Queued &queued = it->second.entries.at(number - it->second.first);
        if (!queued.answer)
            queued.answer = answer;
        flush(socket);
    };
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

// The token's name for a call that acts on drawer number: empty, with the
// call answered, when the token or the drawer will not do.
QString WebBridge::admitDrawerCall(const Call &call, int number)
{
    const QByteArray authorization = call.request.value("authorization");
    const QByteArray scheme = "Bearer ";
    const QString name = authorization.startsWith(scheme)
        ? m_tokens.nameOf(authorization.mid(scheme.size()).trimmed())
        : QString();
    if (name.isEmpty()) {
        call.reply(errorAnswer(Status::Unauthorized, QStringLiteral("no or unknown token")));
        return {};
    }
    if (!bus::isDrawerNumber(number)) {
        call.reply(errorAnswer(Status::NotFound, QStringLiteral("no such drawer")));
        return {};
    }
    // The bridge knows the configuration: the service is not asked.
    if (m_drawers->known() && !m_drawers->drawers()[number - 1].configured) {
        call.reply(errorAnswer(
            Status::NotFound, QStringLiteral("drawer %1 is not configured").arg(number)));
        return {};
    }
    return name;
}

void WebBridge::serveOpen(const Call &call)
{
    const int number = openPathNumber(call.path);
    const QString name = admitDrawerCall(call, number);
    if (name.isEmpty())
        return;
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
