// The bridge's TCP connections, kept within its file limit and its memory
// so that a flood of idle, slow or endless requests from any local user
// never stops it serving: a request must arrive whole within a few seconds
// of its first byte, a connection that says nothing is closed, and at the
// cap the connection idle the longest makes room for a new one. Each
// connection reads at most a request's head and body ahead; a body longer
// than the bridge takes, or one whose length the head does not say plainly,
// is refused as soon as its head says so, unread.
// Should the descriptors run out all the same, accepting pauses briefly
// rather than spin.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <functional>

class QHostAddress;
class QTcpServer;
class QTcpSocket;

class ConnectionGuard : public QObject {
    Q_OBJECT

public:
    // The longest head and body of a request the bridge reads.
    static constexpr qsizetype HeadLimit = 8 * 1024;
    static constexpr qsizetype BodyLimit = 4096;

    // Why a request is refused before the HTTP server has read it: its
    // head or body is too long (431, 413), or its body's length is unclear:
    // a Content-Length that is not a number, two that differ, or one beside
    // chunks (400), which the HTTP server would each read its own way.
    enum class Refusal { HeadTooLong, BodyTooLong, BadFraming };
    // Answers such a request (origin: the head's Origin, if it was read);
    // the connection is then closed.
    using Refuse = std::function<void(QTcpSocket *, Refusal, const QByteArray &origin)>;

    explicit ConnectionGuard(Refuse refuse, QObject *parent = nullptr);

    // The longest body a request may carry, judged from its head: BodyLimit
    // unless this says more for some requests. At most MostLargeBodies such
    // bodies are read at once; beyond, BodyLimit holds.
    using BodyLimitOf = std::function<qint64(const QByteArray &head)>;
    void setBodyLimit(BodyLimitOf limitOf) { m_bodyLimitOf = std::move(limitOf); }
    static constexpr int MostLargeBodies = 4;

    // A server listening on address and port whose connections are
    // guarded, or null with *error set.
    QTcpServer *listen(const QHostAddress &address, quint16 port, QString *error);
    // The most connections at once: the file limit, less room for the bus,
    // the journal and the files the bridge reads.
    int capacity() const { return m_capacity; }

    // Whether the request the HTTP server has just read is HTTP/1.0, whose
    // client knows no persistent connections.
    bool isHttp10(QTcpSocket *socket) const;
    // The bridge is answering a request of the socket's: no timeout meanwhile.
    void answering(QTcpSocket *socket);
    // Every answer is written: the connection may wait for another request.
    void answered(QTcpSocket *socket);
    // The connection is a WebSocket now, which the heartbeat looks after.
    void upgraded(QTcpSocket *socket);
    // The bridge closes this connection itself: the HTTP server's next
    // request to close it is not followed.
    void keepOpen(QTcpSocket *socket);
    // Closes the connection once what was written to it has gone out: no
    // more is read from it, and what the client still sends is dropped
    // until it closes too, so that it reads the last answer.
    void closeAfterWrites(QTcpSocket *socket);

private:
    enum class State { Waiting, Reading, Answering, WebSocket, Closing };
    struct Connection {
        State state = State::Waiting;
        qint64 deadlineUs = 0; // for Waiting, Reading and Closing
        qint64 activeUs = 0; // when it last sent or was answered
        // What the guard knows of the request coming in.
        struct Request {
            QByteArray head; // while it comes in
            bool headRead = false; // and looked at
            QByteArray origin;
            bool http10 = false;
            qint64 chunkedBytes = -1; // of a chunked body so far; -1: none
            qint64 bodyLimit = BodyLimit;
        } request;
    };

    void admit(QTcpServer *server, qintptr descriptor);
    void onReadyRead(QTcpSocket *socket);
    void inspect(QTcpSocket *socket, Connection::Request &request);
    void refuse(QTcpSocket *socket, Refusal why, const QByteArray &origin);
    qint64 bodyLimitOf(const QByteArray &head) const;
    void setRequestLimit(QTcpSocket *socket, Connection::Request &request, qint64 limit);
    void discard(QTcpSocket *socket, Connection &connection);
    bool closeOldestIdle();
    void close(QTcpSocket *socket);
    void sweep();
    qint64 nowUs() const { return m_clock.nsecsElapsed() / 1000; }

    Refuse m_refuse;
    BodyLimitOf m_bodyLimitOf;
    QHash<QTcpSocket *, Connection> m_connections;
    QElapsedTimer m_clock;
    QTimer m_sweep; // runs while there are connections
    int m_capacity;
};
