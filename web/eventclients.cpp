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

bool EventClients::takeSlot(QTcpSocket *connection, const QString &token)
{
    if (m_taken.value(token) >= (token.isEmpty() ? m_tokenlessSlots : PerToken))
        return false;
    ++m_taken[token];
    // The slot is an object of its own, owned by the connection and then by
    // its client: the WebSocket classes drop every signal connection of the
    // socket they take over, destroyed() among them, when their client ends.
    auto *slot = new QObject(connection);
    const QString peer = peerOf(*connection);
    m_slots.insert(peer, slot);
    connect(slot, &QObject::destroyed, this, [this, token, peer] {
        if (--m_taken[token] == 0)
            m_taken.remove(token);
        if (m_slots.value(peer).isNull())
            m_slots.remove(peer);
    });
    return true;
}

void EventClients::handOver(QTcpSocket *connection)
{
    m_server.handleConnection(connection);
    // Its handshake is read already: the server is told it is there.
    QMetaObject::invokeMethod(connection, &QTcpSocket::readyRead, Qt::QueuedConnection);
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
        // The client holds its connection's slot, and the connection goes
        // with the client.
        const QPointer<QObject> slot = m_slots.take(peerOf(*socket));
        const QPointer<QObject> connection = slot ? slot->parent() : nullptr;
        if (slot)
            slot->setParent(socket);
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
        connect(socket, &QWebSocket::disconnected, this, [this, socket, slot] {
            m_clients.removeIf([socket](const Client &client) { return client.socket == socket; });
            delete slot; // at once, for the client's next connection
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
