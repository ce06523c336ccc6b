// kestrin-drawer-web's HTTP and WebSocket server: the drawers as JSON, their
// changes as WebSocket events, Open for a token's holder, and the page. It
// answers only requests addressed to a loopback name, and browsers only from
// the allowed origins; each connection's answers in the order of its
// requests.
#pragma once

#include "connectionguard.h"
#include "drawerbus.h"
#include "tokenstore.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>

class EventClients;

class WebBridge : public QAbstractHttpServer {
    Q_OBJECT

public:
    WebBridge(
        DrawerBus *drawers, TokenStore tokens, QStringList allowOrigins, QObject *parent = nullptr);

    // Listens on 127.0.0.1 and, where it can, ::1. Port 0 picks a free one.
    // The port listened on, or 0 with *error set.
    quint16 listenOnLoopback(quint16 port, QString *error);

    // At most this many WebSocket clients without a token at once (fewer
    // under a low file limit); more are turned away. Each token has slots
    // of its own besides.
    static constexpr int MostTokenlessClients = 256;
    // The most bytes a print job may carry: far more than any receipt.
    static constexpr qsizetype PrintBodyLimit = 1 << 20;

    // One answer: its status, body and the headers beyond those that every
    // answer carries.
    struct Answer {
        QHttpServerResponder::StatusCode status = QHttpServerResponder::StatusCode::Ok;
        QByteArray body;
        QByteArray type = "application/json";
        QList<std::pair<QByteArray, QByteArray>> headers;
    };
    // Sends the answer to a request, now or later; once only.
    using Reply = std::function<void(const Answer &)>;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    // What a route's handler needs of a request.
    struct Call {
        const QHttpServerRequest &request;
        QString path;
        QByteArray origin; // the browser's, or empty for a local program
        Reply reply;
    };
    struct Route {
        QHttpServerRequest::Method method;
        bool (*matches)(const QString &path);
        void (WebBridge::*serve)(const Call &call);
    };
    static const Route Routes[];

    // What follows an answer on its connection.
    enum class Then { KeepOpen, Close, WebSocket };
    // An answer in a connection's queue: its responder (none for a request
    // refused before the HTTP server read it, or of HTTP/1.0, whose version
    // Qt's responder does not write), and once it is known, the answer; or
    // the hand-over of the connection to the WebSocket server.
    struct Queued {
        std::optional<QHttpServerResponder> responder;
        QByteArray cors;
        std::optional<Answer> answer;
        Then then = Then::KeepOpen;
        bool http10 = false;
    };
    struct Queue {
        std::deque<Queued> entries;
        quint64 first = 0; // the number of the front entry
    };

    bool originAllowed(const QByteArray &origin) const;
    std::optional<Answer> judgeUpgrade(const QHttpServerRequest &request, QTcpSocket *socket);
    void refuseUnread(QTcpSocket *socket, ConnectionGuard::Refusal why, const QByteArray &origin);
    quint64 enqueue(QTcpSocket *socket, Queued queued);
    void flush(QTcpSocket *socket);
    void write(QTcpSocket *socket, Queued &queued);
    void stopReading(QTcpSocket *socket);
    Reply replyTo(const QHttpServerRequest &request, QTcpSocket *socket, const QByteArray &cors);
    void route(const Call &call);
    void serveDrawers(const Call &call);
    QString admitDrawerCall(const Call &call, int number);
    void serveOpen(const Call &call);
    // POST /v1/drawers/N/print, in webprint.cpp.
    static bool isPrintPath(const QString &path);
    void servePrint(const Call &call);
    qint64 bodyLimitOf(const QByteArray &head) const;
    void servePreflight(const Call &call);
    void servePage(const Call &call);

    DrawerBus *m_drawers;
    TokenStore m_tokens;
    QStringList m_allowOrigins;
    ConnectionGuard *m_guard;
    EventClients *m_clients;
    // Each connection's answers, in the order of its requests.
    std::unordered_map<QTcpSocket *, Queue> m_queues;
    // What missingHandler does with a WebSocket handshake: its refusal, if any.
    std::optional<Answer> m_upgradeRefusal;
};
