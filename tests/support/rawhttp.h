// HTTP as a test needs it to be wrong on purpose: a request written out
// byte for byte (foreign Host headers, broken bodies, endless requests) on
// a connection to 127.0.0.1, and the status line, head and body of what
// came back. Status 0: the server closed without an answer.
#pragma once

#include <QElapsedTimer>
#include <QTcpSocket>

#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

struct HttpAnswer {
    int status = 0;
    QByteArray head;
    QByteArray body;

    bool hasHeader(const QByteArray &line) const
    {
        return head.toLower().contains("\r\n" + line.toLower());
    }
};

inline HttpAnswer parseHttpAnswer(const QByteArray &bytes)
{
    HttpAnswer answer;
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (!bytes.startsWith("HTTP/1.1 ") || end < 0)
        return answer;
    answer.status = bytes.mid(9, 3).toInt();
    answer.head = bytes.left(end);
    answer.body = bytes.mid(end + 4);
    return answer;
}

// Sends request and reads the answer: its head and Content-Length bytes, a
// 101's head, or whatever came until the server closed or timeoutMs passed.
inline HttpAnswer rawHttp(quint16 port, const QByteArray &request, int timeoutMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write(request);
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    auto complete = [&bytes] {
        const HttpAnswer answer = parseHttpAnswer(bytes);
        if (answer.status == 101)
            return true;
        const qsizetype at = answer.head.toLower().indexOf("\r\ncontent-length:");
        return at >= 0
            && answer.body.size() >= answer.head.mid(at + 17).split('\r')[0].trimmed().toInt();
    };
    while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < timeoutMs
        && !complete()) {
        socket.waitForReadyRead(50);
        bytes += socket.readAll();
    }
    bytes += socket.readAll();
    return parseHttpAnswer(bytes);
}

// A request to the server's port with the given start, extra header lines
// and body; Host names the server unless given.
inline QByteArray httpRequest(const QByteArray &method, const QByteArray &path, quint16 port,
    QByteArray headers = {}, const QByteArray &body = {})
{
    if (!("\r\n" + headers.toLower()).contains("\r\nhost:"))
        headers += "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    if (!body.isEmpty())
        headers += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return method + ' ' + path + " HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n" + body;
}

inline QByteArray webSocketHandshake(const QByteArray &path)
{
    return "GET " + path
        + " HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
}

// Shakes hands as a WebSocket client, then sends a bare FIN and reads
// until the server has closed too; the handshake's status.
inline int handshakeThenFin(quint16 port, const QByteArray &handshake)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    socket.write(handshake);
    QByteArray bytes;
    while (!bytes.contains("\r\n\r\n") && socket.waitForReadyRead(5000))
        bytes += socket.readAll();
    ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
    while (socket.waitForReadyRead(5000))
        socket.readAll();
    return parseHttpAnswer(bytes).status;
}

// count connections to 127.0.0.1:port that send nothing, as a flood of idle
// clients would; the caller closes the descriptors. Fewer when one fails.
inline std::vector<int> holdConnections(quint16 port, int count)
{
    std::vector<int> held;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
        const int connection = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connection < 0
            || ::connect(connection, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            if (connection >= 0)
                ::close(connection);
            break;
        }
        held.push_back(connection);
    }
    return held;
}
