// The bridge's WebSocket clients, who follow the drawers. Qt's WebSocket
// server shakes hands, offering the one subprotocol kestrin.v1 (so a token
// offered as a subprotocol is never echoed). Clients hold slots in pools of
// their own: each token a few, which no client without a token can take,
// and the clients without one share a bounded pool. A heartbeat tells a
// gone client from a quiet one.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWebSocketServer>

#include <functional>

class QTcpSocket;
class QWebSocket;

class EventClients : public QObject {
    Q_OBJECT

public:
    // The WebSockets a token may hold at once.
    static constexpr int PerToken = 8;
    static constexpr const char *Subprotocol = "kestrin.v1";

    // tokenlessSlots: the clients without a token at once; greeting: the
    // message each client gets first.
    EventClients(int tokenlessSlots, std::function<QByteArray()> greeting, QObject *parent);

    // Takes a slot of the token's (empty: of none) for the connection, if
    // one is free, when its handshake is judged: answers pipelined before
    // it may still be due. The slot is given back when the connection
    // ends, or once handed over, when its client does.
    bool takeSlot(QTcpSocket *connection, const QString &token);
    // Hands the connection, its handshake unread, to the WebSocket server.
    void handOver(QTcpSocket *connection);
    void sendToAll(const QByteArray &message);

private:
    struct Client {
        QWebSocket *socket;
        qint64 lastPongMs;
    };

    void acceptClients();
    void heartbeat();

    QWebSocketServer m_server;
    std::function<QByteArray()> m_greeting;
    int m_tokenlessSlots;
    QHash<QString, int> m_taken; // by token name; "" for none
    QHash<QString, QPointer<QObject>> m_slots; // by peer, until upgraded
    QList<Client> m_clients;
    int m_heartbeatMs;
    QTimer m_heartbeat;
};
