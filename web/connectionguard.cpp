#include "connectionguard.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <utility>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connection that has sent nothing for this long is closed.
constexpr qint64 IdleTimeoutUs = 5'000'000;
// A request's head and body must be in within this of its first byte.
constexpr qint64 RequestTimeoutUs = 5'000'000;
// How long a refused client may go on sending before it is cut off.
constexpr qint64 LingerUs = 2'000'000;
// Descriptors kept for everything but connections.
constexpr rlim_t Reserve = 64;
constexpr rlim_t MostConnections = 1024;
// A chunked body may take up to this many bytes with its framing.
// A chunked body's bytes, framing included, for a body of the given limit.
constexpr qint64 chunkedLimit(qint64 bodyLimit)
{
    return 2 * bodyLimit;
}
constexpr qint64 ChunkedLimit = chunkedLimit(ConnectionGuard::BodyLimit);
// What a connection reads ahead, Qt's buffer included: a whole request,
// which the HTTP server keeps until it has all of it. Once full, the socket
// reads no more and the request's deadline closes it.
constexpr qint64 ReadBufferSize = ConnectionGuard::HeadLimit + ChunkedLimit + 1024;
// How long accepting pauses when the descriptors have run out.
constexpr int AcceptPauseMs = 100;

// What the guard needs of a request's head, read as the HTTP server reads
// it: where it ends, the body it announces, whether the body comes in
// chunks, whether its length is unclear, its version, and the Origin, for
// the refusal's CORS header. The server's own parser judges everything else.
struct HeadFraming {
    qsizetype size = -1; // with its blank line; -1: not all in yet
    qint64 contentLength = -1; // -1: none
    bool chunked = false;
    bool unclearLength = false;
    bool http10 = false;
    QByteArray origin;
};

// A Content-Length's value: digits alone, within 63 bits; or -1.
qint64 lengthOf(const QByteArray &value)
{
    bool number = false;
    const qint64 length = value.toLongLong(&number);
    const bool digits = !value.isEmpty()
        && std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= '0' && c <= '9'; });
    return digits && number ? length : -1;
}

HeadFraming readFraming(const QByteArray &bytes)
{
    HeadFraming head;
    qsizetype at = 0;
    // Blank lines before a request, which the server skips too.
    while (at < bytes.size() && QByteArrayView(" \t\v\r\n").contains(bytes[at]))
        ++at;
    for (bool requestLine = true;; requestLine = false) {
        const qsizetype end = bytes.indexOf('\n', at);
        if (end < 0)
            return {};
        QByteArray line = bytes.mid(at, end - at);
        if (line.endsWith('\r'))
            line.chop(1);
        at = end + 1;
        if (requestLine) {
            head.http10 = line.endsWith(" HTTP/1.0");
            continue;
        }
        if (line.isEmpty()) {
            head.size = at;
            head.unclearLength = head.unclearLength || (head.chunked && head.contentLength >= 0);
            return head;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            const qint64 length = lengthOf(value);
            head.unclearLength = head.unclearLength || length < 0
                || (head.contentLength >= 0 && length != head.contentLength);
            head.contentLength = length;
        } else if (name == "transfer-encoding")
            head.chunked = head.chunked || value.toLower().contains("chunked");
        else if (name == "origin")
            head.origin = value;
    }
}

int connectionCapacity()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return int(MostConnections);
    return int(std::clamp<rlim_t>(
        limit.rlim_cur > 2 * Reserve ? limit.rlim_cur - Reserve : limit.rlim_cur / 2, 1,
        MostConnections));
}

// A connection whose closing the bridge may take over: Qt's HTTP server
// closes a connection once it has answered an upgrade that it does not
// carry out itself, and the bridge hands such a connection to its own
// WebSocket server, or answers it in turn after earlier answers.
class GuardedSocket : public QTcpSocket {
public:
    using QTcpSocket::QTcpSocket;
    void keepOpenOnce() { m_keepOpen = true; }
    void disconnectFromHost() override
    {
        if (std::exchange(m_keepOpen, false))
            return;
        QTcpSocket::disconnectFromHost();
    }

private:
    bool m_keepOpen = false;
};

// Accepts by itself rather than through Qt's loop, which tries again at
// once, for ever, when the descriptors have run out (EMFILE): here accepting
// pauses briefly instead, and the guard makes room.
class GuardedServer : public QTcpServer {
public:
    using Admit = std::function<void(QTcpServer *, qintptr)>;
    GuardedServer(Admit admit, std::function<void()> full, QObject *parent)
        : QTcpServer(parent), m_admit(std::move(admit)), m_full(std::move(full))
    {
    }

    bool listenGuarded(const QHostAddress &address, quint16 port)
    {
        if (!listen(address, port))
            return false;
        // Qt's own loop never accepts: it stops at the most pending.
        setMaxPendingConnections(0);
        m_ready.setSocket(socketDescriptor());
        connect(&m_ready, &QSocketNotifier::activated, this, &GuardedServer::acceptWaiting);
        m_ready.setEnabled(true);
        return true;
    }
    void addPending(QTcpSocket *socket) { addPendingConnection(socket); }

private:
    void acceptWaiting()
    {
        // A batch at a time, so that the answers go out between batches.
        for (int batch = 0; batch < 32; ++batch) {
            const int descriptor = ::accept4(
                int(socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (descriptor >= 0) {
                m_admit(this, descriptor);
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                m_ready.setEnabled(false);
                m_full();
                QTimer::singleShot(AcceptPauseMs, this, [this] { m_ready.setEnabled(true); });
            }
            return; // EAGAIN and the like: the notifier says when to go on
        }
    }

    Admit m_admit;
    std::function<void()> m_full;
    QSocketNotifier m_ready {QSocketNotifier::Read};
};

} // namespace

ConnectionGuard::ConnectionGuard(Refuse refuse, QObject *parent)
    : QObject(parent), m_refuse(std::move(refuse)), m_capacity(connectionCapacity())
{
    m_clock.start();
    m_sweep.setInterval(1000);
    connect(&m_sweep, &QTimer::timeout, this, &ConnectionGuard::sweep);
}

QTcpServer *ConnectionGuard::listen(const QHostAddress &address, quint16 port, QString *error)
{
    auto *server = new GuardedServer(
        [this](QTcpServer *from, qintptr descriptor) { admit(from, descriptor); },
        [this] { closeOldestIdle(); }, this);
    if (!server->listenGuarded(address, port)) {
        *error = server->errorString();
        delete server;
        return nullptr;
    }
    return server;
}

void ConnectionGuard::admit(QTcpServer *server, qintptr descriptor)
{
    if (m_connections.size() >= m_capacity && !closeOldestIdle()) {
        ::close(int(descriptor)); // every connection is busy answering: no room
        return;
    }
    auto *socket = new GuardedSocket(server);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        delete socket;
        return;
    }
    socket->setReadBufferSize(ReadBufferSize);
    // And the kernel holds no more for it: its buffers count against the
    // unit's memory too.
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, int(ReadBufferSize));
    const qint64 now = nowUs();
    m_connections.insert(socket, {State::Waiting, now + IdleTimeoutUs, now, {}});
    // Before the HTTP server's own, which is connected once it is pending.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
        const auto it = m_connections.constFind(socket);
        if (it != m_connections.cend() && it->state == State::Closing && !socket->bytesToWrite())
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    // Told by an object the socket owns, not by the socket's destroyed():
    // the WebSocket classes drop every signal connection of a socket they
    // have taken over, when their client ends.
    auto *lifetime = new QObject(socket);
    connect(lifetime, &QObject::destroyed, this, [this, socket] { m_connections.remove(socket); });
    if (!m_sweep.isActive())
        m_sweep.start();
    static_cast<GuardedServer *>(server)->addPending(socket);
}

void ConnectionGuard::onReadyRead(QTcpSocket *socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->state == State::WebSocket)
        return;
    if (it->state == State::Closing) {
        discard(socket, *it);
        return;
    }
    it->activeUs = nowUs();
    if (it->state == State::Waiting) {
        it->state = State::Reading;
        it->deadlineUs = it->activeUs + RequestTimeoutUs;
    }
    inspect(socket, it->request);
}

// Looks at each request's head as it comes in, before the HTTP server reads
// further, so that a body too long for the bridge is never read.
void ConnectionGuard::inspect(QTcpSocket *socket, Connection::Request &request)
{
    // The server reads all it is given while a request comes in, and keeps
    // it until the request is whole (a transaction): without one, these
    // bytes begin a new request.
    if (!socket->isTransactionStarted())
        setRequestLimit(socket, request = {}, BodyLimit);
    const qint64 available = socket->bytesAvailable();
    if (request.chunkedBytes >= 0) {
        request.chunkedBytes += available;
        if (request.chunkedBytes > chunkedLimit(request.bodyLimit))
            refuse(socket, Refusal::BodyTooLong, request.origin);
        return;
    }
    if (request.headRead)
        return;
    const qsizetype before = request.head.size();
    request.head += socket->peek(std::min<qint64>(available, HeadLimit + 1 - before));
    const HeadFraming head = readFraming(request.head);
    if (head.size < 0) {
        if (request.head.size() > HeadLimit)
            refuse(socket, Refusal::HeadTooLong, {});
        return;
    }
    request.headRead = true;
    setRequestLimit(socket, request, bodyLimitOf(request.head.left(head.size)));
    request.head.clear();
    request.origin = head.origin;
    request.http10 = head.http10;
    if (head.chunked)
        request.chunkedBytes = before + available - head.size;
    if (head.unclearLength)
        refuse(socket, Refusal::BadFraming, head.origin);
    else if (head.contentLength > request.bodyLimit
        || request.chunkedBytes > chunkedLimit(request.bodyLimit))
        refuse(socket, Refusal::BodyTooLong, head.origin);
}

qint64 ConnectionGuard::bodyLimitOf(const QByteArray &head) const
{
    const qint64 limit
        = m_bodyLimitOf ? std::max<qint64>(m_bodyLimitOf(head), BodyLimit) : BodyLimit;
    if (limit == BodyLimit)
        return limit;
    const auto large
        = std::count_if(m_connections.cbegin(), m_connections.cend(), [](const Connection &c) {
              return c.state == State::Reading && c.request.bodyLimit > BodyLimit;
          });
    return large < MostLargeBodies ? limit : BodyLimit;
}

// A request allowed a larger body may have it all read ahead, and the next
// request on the connection is held to the usual again.
void ConnectionGuard::setRequestLimit(
    QTcpSocket *socket, Connection::Request &request, qint64 limit)
{
    request.bodyLimit = limit;
    const qint64 size
        = limit == BodyLimit ? ReadBufferSize : HeadLimit + chunkedLimit(limit) + 1024;
    if (socket->readBufferSize() == size)
        return;
    socket->setReadBufferSize(size);
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
        int(std::min<qint64>(size, ReadBufferSize * 8)));
}

void ConnectionGuard::refuse(QTcpSocket *socket, Refusal why, const QByteArray &origin)
{
    const auto it = m_connections.find(socket);
    it->state = State::Answering;
    m_refuse(socket, why, origin);
    if (const auto still = m_connections.find(socket); still != m_connections.end())
        still->request = {};
}

bool ConnectionGuard::isHttp10(QTcpSocket *socket) const
{
    const auto it = m_connections.constFind(socket);
    return it != m_connections.cend() && it->request.http10;
}

// Drops what a closing connection sends, without keeping it.
void ConnectionGuard::discard(QTcpSocket *socket, Connection &connection)
{
    connection.request = {};
    if (socket->isTransactionStarted())
        socket->commitTransaction();
    socket->skip(socket->bytesAvailable());
}

void ConnectionGuard::answering(QTcpSocket *socket)
{
    if (const auto it = m_connections.find(socket); it != m_connections.end())
        it->state = State::Answering;
}

void ConnectionGuard::answered(QTcpSocket *socket)
{
    if (const auto it = m_connections.find(socket);
        it != m_connections.end() && it->state == State::Answering) {
        it->activeUs = nowUs();
        it->state = State::Waiting;
        it->deadlineUs = it->activeUs + IdleTimeoutUs;
    }
}

void ConnectionGuard::upgraded(QTcpSocket *socket)
{
    if (const auto it = m_connections.find(socket); it != m_connections.end())
        it->state = State::WebSocket;
}

void ConnectionGuard::keepOpen(QTcpSocket *socket)
{
    static_cast<GuardedSocket *>(socket)->keepOpenOnce();
}

void ConnectionGuard::closeAfterWrites(QTcpSocket *socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->state = State::Closing;
    it->deadlineUs = nowUs() + LingerUs;
    discard(socket, *it);
    if (!socket->bytesToWrite())
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
}

bool ConnectionGuard::closeOldestIdle()
{
    QTcpSocket *oldest = nullptr;
    qint64 since = 0;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
        const bool idle = it->state != State::Answering && it->state != State::WebSocket;
        if (idle && (!oldest || it->activeUs < since)) {
            oldest = it.key();
            since = it->activeUs;
        }
    }
    if (oldest)
        close(oldest);
    return oldest != nullptr;
}

// Its descriptor is free at once; Qt's server deletes the socket later.
void ConnectionGuard::close(QTcpSocket *socket)
{
    m_connections.remove(socket);
    socket->abort();
}

void ConnectionGuard::sweep()
{
    const qint64 now = nowUs();
    QList<QTcpSocket *> late;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it)
        if (it->state != State::Answering && it->state != State::WebSocket && it->deadlineUs <= now)
            late.append(it.key());
    for (QTcpSocket *socket : late)
        close(socket);
    if (m_connections.isEmpty())
        m_sweep.stop();
}
