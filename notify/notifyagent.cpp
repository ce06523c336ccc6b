#include "notifyagent.h"

#include "busapi.h"

#include <QDBusArgument>
#include <QDBusServiceWatcher>
#include <QVariantMap>

namespace bus = drawerdriver::bus;

namespace {
const QString ServiceName = QString::fromLatin1(bus::ServiceName);
const QString DrawerInterface = QString::fromLatin1(bus::DrawerInterface);
const QString Notifications = QStringLiteral("org.freedesktop.Notifications");
const QString NotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

QString leftOpenText(int drawer, qulonglong seconds)
{
    if (seconds < 60)
        return QStringLiteral("Drawer %1 has been open for %2 second%3.")
            .arg(drawer)
            .arg(seconds)
            .arg(seconds == 1 ? "" : "s");
    const qulonglong minutes = seconds / 60;
    return QStringLiteral("Drawer %1 has been open for %2 minute%3.")
        .arg(drawer)
        .arg(minutes)
        .arg(minutes == 1 ? "" : "s");
}

NotifyAgent::NotifyAgent(QDBusConnection system, QDBusConnection session, QObject *parent)
    : QObject(parent), m_system(std::move(system)), m_session(std::move(session))
{
}

bool NotifyAgent::start()
{
    // Every drawer object: an empty path matches them all.
    auto *watcher = new QDBusServiceWatcher(
        ServiceName, m_system, QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, &NotifyAgent::serviceGone);
    return m_system.connect(ServiceName, QString(), DrawerInterface,
               QString::fromLatin1(bus::LeftOpenSignal), this, SLOT(leftOpen(QDBusMessage)))
        && m_system.connect(ServiceName, QString(), QString::fromLatin1(bus::PropertiesInterface),
            QString::fromLatin1(bus::PropertiesChangedSignal), this,
            SLOT(propertiesChanged(QDBusMessage)));
}

void NotifyAgent::leftOpen(const QDBusMessage &signal)
{
    const int drawer = bus::drawerNumber(signal.path().toStdString());
    if (drawer == 0)
        return;
    const qulonglong seconds = signal.arguments().value(0).toULongLong();
    // Each alarm replaces the last one's notification: one per drawer.
    QDBusMessage notify = QDBusMessage::createMethodCall(
        Notifications, NotificationsPath, Notifications, QStringLiteral("Notify"));
    const QVariantMap hints {{QStringLiteral("urgency"), QVariant::fromValue(uchar(2))},
        {QStringLiteral("category"), QStringLiteral("device")}};
    notify.setArguments({QStringLiteral("Kestrin Cash Drawer"), m_shown.value(drawer, 0u),
        QStringLiteral("kestrin-drawer"), QStringLiteral("Drawer %1 left open").arg(drawer),
        leftOpenText(drawer, seconds), QStringList(), hints, 0});
    const QDBusMessage reply = m_session.call(notify, QDBus::Block, 5000);
    if (reply.type() == QDBusMessage::ReplyMessage)
        m_shown.insert(drawer, reply.arguments().value(0).toUInt());
    else
        qWarning("kestrin-drawer-notify: cannot show a notification: %s",
            qPrintable(reply.errorMessage()));
}

void NotifyAgent::propertiesChanged(const QDBusMessage &signal)
{
    const int drawer = bus::drawerNumber(signal.path().toStdString());
    const QVariantMap changed = qdbus_cast<QVariantMap>(signal.arguments().value(1));
    const QString open = QString::fromLatin1(bus::OpenProperty);
    if (drawer != 0 && changed.contains(open) && !changed.value(open).toBool())
        withdraw(drawer);
}

void NotifyAgent::serviceGone()
{
    for (const int drawer : m_shown.keys())
        withdraw(drawer);
}

void NotifyAgent::withdraw(int drawer)
{
    const uint id = m_shown.take(drawer);
    if (id == 0)
        return;
    QDBusMessage close = QDBusMessage::createMethodCall(
        Notifications, NotificationsPath, Notifications, QStringLiteral("CloseNotification"));
    close.setArguments({id});
    m_session.call(close, QDBus::NoBlock);
}
