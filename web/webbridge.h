// kestrin-drawer-web's HTTP and WebSocket server: the drawers as JSON, their
// changes as WebSocket events, Open for a token's holder, and the page. It
// answers only requests addressed to a loopback name, and browsers only from
// the allowed origins.
#pragma once

#include "drawerbus.h"
#include "tokenstore.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <utility>

class ConnectionGuard;
class QWebSocket;

class WebBridge : public QAbstractHttpServer {
    Q_OBJECT

public:
    WebBridge(
        DrawerBus *drawers, TokenStore tokens, QStringList allowOrigins, QObject *parent = nullptr);

    // Listens on 127.0.0.1 and, where it can, ::1. Port 0 picks a free one.
    // The port listened on, or 0 with *error set.
    quint16 listenOnLoopback(quint16 port, QString *error);

    // At most this many WebSocket clients at once (fewer under a low file
    // limit); more are turned away.
    static constexpr int MaxClients = 256;

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
    struct Client {
        QWebSocket *socket;
        qint64 lastPongMs;
    };
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

    bool originAllowed(const QByteArray &origin) const;
    bool acceptUpgrade(const QHttpServerRequest &request, QTcpSocket *socket);
    Reply replyTo(const QHttpServerRequest &request, QTcpSocket *socket, const QByteArray &cors);
    void route(const Call &call);
    void serveDrawers(const Call &call);
    void serveOpen(const Call &call);
    void servePreflight(const Call &call);
    void servePage(const Call &call);
    void acceptClients();
    void sendToAll(const QByteArray &message);
    void heartbeat();

    DrawerBus *m_drawers;
    TokenStore m_tokens;
    QStringList m_allowOrigins;
    ConnectionGuard *m_guard;
    QList<Client> m_clients;
    // Each request's responder until its answer is sent.
    std::map<quint64, QHttpServerResponder> m_responders;
    quint64 m_nextAnswer = 0;
    // Why missingHandler refuses a WebSocket.
    struct Refusal {
        QHttpServerResponder::StatusCode status = QHttpServerResponder::StatusCode::NotFound;
        QString text = QStringLiteral("not found");
    } m_refusal;
    int m_heartbeatMs;
    QTimer m_heartbeat;
};
