#include "connectionguard.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <functional>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connection that has sent nothing for this long is closed.
constexpr qint64 IdleTimeoutMs = 5000;
// A request's head and body must be in within this of its first byte.
constexpr qint64 RequestTimeoutMs = 5000;
// Descriptors kept for everything but connections.
constexpr rlim_t Reserve = 64;
constexpr rlim_t MostConnections = 1024;
// Unread bytes a connection may pile up before it is dropped: a request's
// head and the largest body, with room to spare.
constexpr qint64 UnreadLimit = 64 * 1024;
// How long accepting pauses when the descriptors have run out.
constexpr int AcceptPauseMs = 100;

int connectionCapacity()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return int(MostConnections);
    return int(std::clamp<rlim_t>(
        limit.rlim_cur > 2 * Reserve ? limit.rlim_cur - Reserve : limit.rlim_cur / 2, 1,
        MostConnections));
}

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

ConnectionGuard::ConnectionGuard(QObject *parent)
    : QObject(parent), m_capacity(connectionCapacity())
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
    auto *socket = new QTcpSocket(server);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        delete socket;
        return;
    }
    const qint64 now = m_clock.elapsed();
    m_connections.insert(socket, {State::Waiting, now + IdleTimeoutMs, now});
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { m_connections.remove(socket); });
    if (!m_sweep.isActive())
        m_sweep.start();
    static_cast<GuardedServer *>(server)->addPending(socket);
}

void ConnectionGuard::onReadyRead(QTcpSocket *socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->state == State::WebSocket)
        return;
    // An endless request cannot fill the bridge's memory.
    if (socket->bytesAvailable() > UnreadLimit) {
        close(socket);
        return;
    }
    it->activeMs = m_clock.elapsed();
    if (it->state == State::Waiting) {
        it->state = State::Reading;
        it->deadlineMs = it->activeMs + RequestTimeoutMs;
    }
}

void ConnectionGuard::answering(QTcpSocket *socket)
{
    if (const auto it = m_connections.find(socket); it != m_connections.end())
        it->state = State::Answering;
}

void ConnectionGuard::answered(QTcpSocket *socket)
{
    if (const auto it = m_connections.find(socket); it != m_connections.end()) {
        it->activeMs = m_clock.elapsed();
        it->state = State::Waiting;
        it->deadlineMs = it->activeMs + IdleTimeoutMs;
    }
}

void ConnectionGuard::upgraded(QTcpSocket *socket)
{
    if (const auto it = m_connections.find(socket); it != m_connections.end())
        it->state = State::WebSocket;
}

bool ConnectionGuard::closeOldestIdle()
{
    QTcpSocket *oldest = nullptr;
    qint64 since = 0;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
        const bool idle = it->state == State::Waiting || it->state == State::Reading;
        if (idle && (!oldest || it->activeMs < since)) {
            oldest = it.key();
            since = it->activeMs;
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
    const qint64 now = m_clock.elapsed();
    QList<QTcpSocket *> late;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it)
        if ((it->state == State::Waiting || it->state == State::Reading) && it->deadlineMs <= now)
            late.append(it.key());
    for (QTcpSocket *socket : late)
        close(socket);
    if (m_connections.isEmpty())
        m_sweep.stop();
}
