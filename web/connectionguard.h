// The bridge's TCP connections, kept within its file limit so that a flood
// of idle or slow connections from any local user never stops it serving:
// a request must arrive whole within a few seconds of its first byte, a
// connection that says nothing is closed, and at the cap the connection idle
// the longest makes room for a new one. Should the descriptors run out all
// the same, accepting pauses briefly rather than spin.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

class QHostAddress;
class QTcpServer;
class QTcpSocket;

class ConnectionGuard : public QObject {
    Q_OBJECT

public:
    explicit ConnectionGuard(QObject *parent = nullptr);

    // A server listening on address and port whose connections are
    // guarded, or null with *error set.
    QTcpServer *listen(const QHostAddress &address, quint16 port, QString *error);
    // The most connections at once: the file limit, less room for the bus,
    // the journal and the files the bridge reads.
    int capacity() const { return m_capacity; }

    // The bridge is answering the socket's request: no timeout meanwhile.
    void answering(QTcpSocket *socket);
    // The answer is written: the connection may wait for another request.
    void answered(QTcpSocket *socket);
    // The connection is a WebSocket now, which the heartbeat looks after.
    void upgraded(QTcpSocket *socket);

private:
    enum class State { Waiting, Reading, Answering, WebSocket };
    struct Connection {
        State state = State::Waiting;
        qint64 deadlineMs = 0; // for Waiting and Reading
        qint64 activeMs = 0; // when it last sent or was answered
    };

    void admit(QTcpServer *server, qintptr descriptor);
    void onReadyRead(QTcpSocket *socket);
    bool closeOldestIdle();
    void close(QTcpSocket *socket);
    void sweep();

    QHash<QTcpSocket *, Connection> m_connections;
    QElapsedTimer m_clock;
    QTimer m_sweep; // runs while there are connections
    int m_capacity;
};
