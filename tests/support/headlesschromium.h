// Headless Chromium on a page, driven over its remote debugging protocol on
// a loopback port: the test evaluates script in the page as a user's
// clicks and reads what the page shows. Run it in a loopback-only network
// (loopbacknetwork.h): the browser reaches nothing else.
#pragma once

#include "rawhttp.h"

#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

class HeadlessChromium {
public:
    ~HeadlessChromium()
    {
        m_page.abort();
        // Asked to end, the browser takes its helper processes with it.
        m_browser.terminate();
        if (!m_browser.waitForFinished(5000))
            m_browser.kill();
        m_browser.waitForFinished(5000);
        // The browser leaves some of its profile read-only; the profile goes.
        QDirIterator entries(m_profile.path(),
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (entries.hasNext())
            QFile::setPermissions(
                entries.next(), QFile::permissions(entries.filePath()) | QFileDevice::WriteOwner);
    }

    // Empty on success, otherwise what went wrong.
    QString start(const QString &url)
    {
        // Debian's chromium is a script around the browser; the browser
        // itself ends when the test kills it.
        const QString program = QFile::exists(QStringLiteral("/usr/lib/chromium/chromium"))
            ? QStringLiteral("/usr/lib/chromium/chromium")
            : QStringLiteral("chromium");
        m_browser.setProcessChannelMode(QProcess::SeparateChannels);
        m_browser.setReadChannel(QProcess::StandardError);
        m_browser.start(program,
            {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
                QStringLiteral("--window-size=1000,520"),
                QStringLiteral("--user-data-dir=") + m_profile.path(),
                QStringLiteral("--remote-debugging-address=127.0.0.1"),
                QStringLiteral("--remote-debugging-port=0"),
                QStringLiteral("--remote-allow-origins=http://127.0.0.1"), url});
        // It says where its debugging port is on standard error.
        static const QRegularExpression listening(QStringLiteral("ws://127.0.0.1:(\\d+)/"));
        QByteArray said;
        QRegularExpressionMatch match;
        while (!(match = listening.match(QString::fromLatin1(said))).hasMatch()) {
            if (!m_browser.waitForReadyRead(20000))
                return QStringLiteral("chromium did not start: ") + QString::fromLocal8Bit(said);
            said += m_browser.readAllStandardError();
        }
        const quint16 port = quint16(match.captured(1).toUInt());
        const HttpAnswer targets = rawHttp(port, httpRequest("GET", "/json/list", port));
        for (const QJsonValue target : QJsonDocument::fromJson(targets.body).array())
            if (target[QLatin1String("type")] == QLatin1String("page")) {
                m_page.open(QUrl(target[QLatin1String("webSocketDebuggerUrl")].toString()));
                QEventLoop loop;
                QObject::connect(&m_page, &QWebSocket::connected, &loop, &QEventLoop::quit);
                QTimer::singleShot(10000, &loop, &QEventLoop::quit);
                loop.exec();
                if (m_page.state() == QAbstractSocket::ConnectedState)
                    return {};
                return QStringLiteral("cannot drive the page: ") + m_page.errorString();
            }
        return QStringLiteral("no page to drive in chromium: ") + QString::fromUtf8(targets.body);
    }

    // The value of a script expression in the page (promises awaited), or
    // an undefined value if it threw or the browser did not answer.
    QJsonValue evaluate(const QString &expression)
    {
        const int id = ++m_lastId;
        m_page.sendTextMessage(QString::fromUtf8(QJsonDocument(
            QJsonObject {{QStringLiteral("id"), id},
                {QStringLiteral("method"), QStringLiteral("Runtime.evaluate")},
                {QStringLiteral("params"),
                    QJsonObject {{QStringLiteral("expression"), expression},
                        {QStringLiteral("returnByValue"), true},
                        {QStringLiteral("awaitPromise"),
                            true}}}}).toJson(QJsonDocument::Compact)));
        QJsonValue value = QJsonValue::Undefined;
        QEventLoop loop;
        const auto connection = QObject::connect(
            &m_page, &QWebSocket::textMessageReceived, &loop, [&](const QString &text) {
                const QJsonObject answer = QJsonDocument::fromJson(text.toUtf8()).object();
                if (answer[QLatin1String("id")].toInt() != id)
                    return;
                const QJsonObject result = answer[QLatin1String("result")].toObject();
                if (!result.contains(QLatin1String("exceptionDetails")))
                    value = result[QLatin1String("result")][QLatin1String("value")];
                loop.quit();
            });
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        QObject::disconnect(connection);
        return value;
    }

private:
    QProcess m_browser;
    QTemporaryDir m_profile;
    QWebSocket m_page;
    int m_lastId = 0;
};
