// kestrin-drawer-web's HTTP and WebSocket server: the drawers as JSON, their
// changes as WebSocket events, Open for a token's holder, and the page. It
// answers only requests addressed to a loopback name, and browsers only from
// the allowed origins.
#pragma once

#include "drawerbus.h"
#include "tokenstore.h"

#include <QAbstractHttpServer>
#include <QHttpServerResponder>
#include <QSet>
#include <QStringList>
#include <QTimer>

class QWebSocket;

class WebBridge : public QAbstractHttpServer {
    Q_OBJECT

public:
    WebBridge(
        DrawerBus *drawers, TokenStore tokens, QStringList allowOrigins, QObject *parent = nullptr);

    // Listens on 127.0.0.1 and, where it can, ::1. Port 0 picks a free one.
    // The port listened on, or 0 with *error set.
    quint16 listenOnLoopback(quint16 port, QString *error);

    // At most this many WebSocket clients at once; more are turned away.
    static constexpr int MaxClients = 256;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Client {
        QWebSocket *socket;
        qint64 lastPongMs;
    };

    bool originAllowed(const QByteArray &origin) const;
    bool acceptUpgrade(const QHttpServerRequest &request);
    void serveOpen(const QHttpServerRequest &request, QHttpServerResponder &responder, int number,
        const QByteArray &origin);
    void serveFile(QHttpServerResponder &responder, const QString &name);
    void acceptClients();
    void sendToAll(const QByteArray &message);
    void heartbeat();

    DrawerBus *m_drawers;
    TokenStore m_tokens;
    QStringList m_allowOrigins;
    QList<Client> m_clients;
    // Why missingHandler refuses: a refused WebSocket, or an unknown path.
    struct Refusal {
        QHttpServerResponder::StatusCode status = QHttpServerResponder::StatusCode::NotFound;
        QString text = QStringLiteral("not found");
    } m_refusal;
    QTimer m_heartbeat;
};
