#include "eventclients.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QWebSocket>

namespace {

constexpr int DefaultHeartbeatMs = 10000;
// A client that does not read what it is sent is dropped beyond this.
constexpr qint64 WriteBacklog = 64 * 1024;

// The connection's other end, which names it before and after the upgrade.
template<typename Socket> QString peerOf(const Socket &socket)
{
    return socket.peerAddress().toString() + QLatin1Char(' ') + QString::number(socket.peerPort());
}

} // namespace

EventClients::EventClients(
    int tokenlessSlots, std::function<QByteArray()> greeting, QObject *parent)
    : QObject(parent),
      m_server(QCoreApplication::applicationName(), QWebSocketServer::NonSecureMode),
      m_greeting(std::move(greeting)), m_tokenlessSlots(tokenlessSlots),
      m_heartbeatMs(qEnvironmentVariableIntValue("KESTRIN_WEB_HEARTBEAT_MS"))
{
    m_server.setSupportedSubprotocols({QString::fromLatin1(Subprotocol)});
    connect(&m_server, &QWebSocketServer::newConnection, this, &EventClients::acceptClients);
    // KESTRIN_WEB_HEARTBEAT_MS: a shorter interval, for tests.
    if (m_heartbeatMs <= 0)
        m_heartbeatMs = DefaultHeartbeatMs;
    connect(&m_heartbeat, &QTimer::timeout, this, &EventClients::heartbeat);
    m_heartbeat.start(m_heartbeatMs);
}

bool EventClients::hasRoom(const QString &token) const
{
    return m_taken.value(token) < (token.isEmpty() ? m_tokenlessSlots : PerToken);
}

void EventClients::handOver(QTcpSocket *socket, const QString &token)
{
    ++m_taken[token];
    const QString peer = peerOf(*socket);
    m_shaking.insert(peer, socket);
    // A failed handshake's socket is deleted by the WebSocket server, an
    // upgraded one with its client.
    connect(socket, &QObject::destroyed, this, [this, token, peer] {
        if (--m_taken[token] == 0)
            m_taken.remove(token);
        m_shaking.remove(peer);
    });
    m_server.handleConnection(socket);
    // Its handshake is read already: the server is told it is there.
    QMetaObject::invokeMethod(socket, &QTcpSocket::readyRead, Qt::QueuedConnection);
}

void EventClients::acceptClients()
{
    while (m_server.hasPendingConnections()) {
        QWebSocket *socket = m_server.nextPendingConnection();
        socket->setParent(this);
        // Clients only listen; a message from one is not read, and a big
        // one is cut off.
        socket->setMaxAllowedIncomingMessageSize(1024);
        socket->setMaxAllowedIncomingFrameSize(1024);
        // The client leaves its connection behind; it goes with the client.
        const QPointer<QTcpSocket> connection = m_shaking.take(peerOf(*socket));
        connect(socket, &QObject::destroyed, this, [connection] {
            if (connection)
                connection->deleteLater();
        });
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
        socket->sendTextMessage(QString::fromUtf8(m_greeting()));
    }
}

void EventClients::sendToAll(const QByteArray &message)
{
    const QString text = QString::fromUtf8(message);
    QList<QWebSocket *> stuck;
    for (const Client &client : std::as_const(m_clients)) {
        if (client.socket->bytesToWrite() > WriteBacklog)
            stuck.append(client.socket);
        else
            client.socket->sendTextMessage(text);
    }
    for (QWebSocket *socket : stuck)
        socket->abort(); // its disconnected() takes it off the list
}

void EventClients::heartbeat()
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
    sendToAll(QJsonDocument(
        QJsonObject {{QStringLiteral("event"), QStringLiteral("heartbeat")},
            {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}})
                  .toJson(QJsonDocument::Compact));
    for (const Client &client : std::as_const(m_clients))
        client.socket->ping();
}
