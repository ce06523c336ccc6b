// A desktop's notification server, org.freedesktop.Notifications, that
// shows nothing and records every call, for a private session bus.
#pragma once

#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Shown {
        uint replaces;
        QString summary;
        QString body;
    };
    QList<Shown> shown;
    QList<uint> closed;

public slots:
    Q_SCRIPTABLE uint Notify(const QString &, uint replacesId, const QString &,
        const QString &summary, const QString &body, const QStringList &, const QVariantMap &, int)
    {
        shown.append({replacesId, summary, body});
        return replacesId ? replacesId : uint(100 + shown.size());
    }
    Q_SCRIPTABLE void CloseNotification(uint id) { closed.append(id); }
};
