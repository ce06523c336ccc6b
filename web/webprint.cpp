// POST /v1/drawers/N/print: a web app prints a receipt, raw printer bytes,
// on drawer N's printer through the drawer service's Print, which records
// every kick inside it under the token's name. Its body may be far larger
// than other requests', for the holders of a token only.
#include "webbridge.h"

#include "busapi.h"

#include <QDBusError>
#include <QJsonDocument>
#include <QJsonObject>

namespace bus = drawerdriver::bus;
using Status = QHttpServerResponder::StatusCode;

namespace {

// "/v1/drawers/N/print": N, 0 when the path is not of that form, -1 when N
// is no drawer's number.
int printPathNumber(QStringView path)
{
    const QList<QStringView> parts = path.split(u'/');
    if (parts.size() != 5 || parts[1] != u"v1" || parts[2] != u"drawers" || parts[4] != u"print")
        return 0;
    const int number = bus::parseDrawerNumber(parts[3].toString().toStdString());
    return number > 0 ? number : -1;
}

WebBridge::Answer errorAnswer(Status status, const QString &text)
{
    return {status,
        QJsonDocument(QJsonObject {{QStringLiteral("error"), text}}).toJson(QJsonDocument::Compact),
        "application/json", {}};
}

// The secret of an "Authorization: Bearer SECRET" value, or empty.
QByteArray bearerSecret(const QByteArray &authorization)
{
    const QByteArray scheme = "Bearer ";
    return authorization.startsWith(scheme) ? authorization.mid(scheme.size()).trimmed()
                                            : QByteArray();
}

// The answer to a failed Print: the service's own words where it said why,
// plain words of the bridge's for the bus's errors.
WebBridge::Answer printRefusal(const QDBusError &error)
{
    const QString name = error.name();
    const QString said = error.message();
    if (name == QLatin1String(bus::NotConfiguredError))
        return errorAnswer(Status::NotFound, said);
    if (name == QLatin1String(bus::TooLargeError))
        return errorAnswer(Status::PayloadTooLarge, said);
    if (name == QLatin1String(bus::NotAPrinterError) || name == QLatin1String(bus::NotPresentError))
        return errorAnswer(Status::Conflict, said);
    if (name == QLatin1String(bus::PrintFailedError))
        return errorAnswer(Status::BadGateway, said);
    if (name.startsWith(QLatin1String(bus::ServiceName)))
        return errorAnswer(Status::ServiceUnavailable, said);
    if (error.type() == QDBusError::AccessDenied)
        return errorAnswer(Status::ServiceUnavailable,
            QStringLiteral("the system bus does not let the bridge print through the drawer "
                           "service"));
    if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout
        || error.type() == QDBusError::TimedOut)
        return errorAnswer(
            Status::GatewayTimeout, QStringLiteral("the drawer service did not answer in time"));
    return errorAnswer(
        Status::ServiceUnavailable, QStringLiteral("the drawer service is not running"));
}

} // namespace

bool WebBridge::isPrintPath(const QString &path)
{
    return printPathNumber(path) != 0;
}

// A print job's body may be read only for the holder of a token: without
// one, its request is held to the body every other request may carry.
qint64 WebBridge::bodyLimitOf(const QByteArray &head) const
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    const QByteArray path = requestLine.value(1).split('?').value(0);
    if (requestLine.value(0) != "POST" || printPathNumber(QString::fromLatin1(path)) == 0)
        return ConnectionGuard::BodyLimit;
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "authorization"
            && !m_tokens.nameOf(bearerSecret(line.mid(colon + 1).trimmed())).isEmpty())
            return PrintBodyLimit;
    }
    return ConnectionGuard::BodyLimit;
}

void WebBridge::servePrint(const Call &call)
{
    const int number = printPathNumber(call.path);
    const QString name = admitDrawerCall(call, number);
    if (name.isEmpty())
        return;
    const QByteArray type = call.request.value("content-type").trimmed().toLower();
    if (!type.startsWith("application/octet-stream")) {
        call.reply(errorAnswer(Status::UnsupportedMediaType,
            QStringLiteral("the body is the printer's bytes, as application/octet-stream")));
        return;
    }
    const QByteArray bytes = call.request.body();
    if (bytes.size() > PrintBodyLimit) {
        call.reply(errorAnswer(Status::PayloadTooLarge, QStringLiteral("body too large")));
        return;
    }
    if (bytes.isEmpty()) {
        call.reply(errorAnswer(Status::BadRequest, QStringLiteral("nothing to print")));
        return;
    }
    // The record shows the job as the token's, from where, as for Open.
    const QString title = QStringLiteral("web: %1 from %2")
                              .arg(name,
                                  call.origin.isEmpty() ? QStringLiteral("a local program")
                                                        : QString::fromUtf8(call.origin));
    m_drawers->print(number, bytes, title, name,
        [reply = call.reply, number](const QDBusError &error, quint64 id) {
            if (error.isValid()) {
                if (error.type() == QDBusError::AccessDenied)
                    qWarning("kestrin-drawer-web: the system bus refuses the bridge's Print: is "
                             "the bus policy installed?");
                reply(printRefusal(error));
                return;
            }
            reply({Status::Ok,
                QJsonDocument(
                    QJsonObject {{QStringLiteral("number"), number},
                        {QStringLiteral("printed"), true}, {QStringLiteral("job"), qint64(id)}})
                    .toJson(QJsonDocument::Compact),
                "application/json", {}});
        });
}
