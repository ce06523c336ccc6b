#include "drawerbus.h"

#include "busapi.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDateTime>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace bus = drawerdriver::bus;

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

namespace {

const QString ServiceName = QString::fromLatin1(bus::ServiceName);
const QString DrawerInterface = QString::fromLatin1(bus::DrawerInterface);
// How long an Open or the reading of the drawers may take before the
// bridge gives up on the service (and reads again later).
constexpr int OpenTimeoutMs = 3000;
// The service answers a Print once the printer has taken the last byte,
// after the jobs before it: a large job on a slow printer takes a minute.
constexpr int PrintTimeoutMs = 300'000;

DrawerBus::OpenResult resultOf(const QDBusPendingCall &call)
{
    using Result = DrawerBus::OpenResult;
    if (!call.isError())
        return Result::Done;
    const QDBusError error = call.error();
    const QString name = error.name();
    if (name == QLatin1String(bus::NotConfiguredError))
        return Result::NotConfigured;
    if (name == QLatin1String(bus::NotPresentError))
        return Result::NotPresent;
    if (name == QLatin1String(bus::BusyError))
        return Result::Busy;
    if (error.type() == QDBusError::AccessDenied)
        return Result::Refused;
    if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout
        || error.type() == QDBusError::TimedOut)
        return Result::TimedOut;
    if (name.startsWith(QLatin1String(bus::ServiceName)))
        return Result::Failed;
    // Unknown, no owner, failed to start, the bus gone.
    return Result::NoService;
}

QString isoTime(quint64 us)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(us / 1000), Qt::UTC).toString(Qt::ISODateWithMs);
}

} // namespace

QJsonObject WebDrawer::toJson() const
{
    return {{QStringLiteral("number"), number}, {QStringLiteral("present"), present},
        {QStringLiteral("open"), open}, {QStringLiteral("hasSensor"), hasSensor},
        {QStringLiteral("changed"), changedUs ? QJsonValue(isoTime(changedUs)) : QJsonValue()}};
}

DrawerBus::DrawerBus(QDBusConnection bus, QObject *parent) : QObject(parent), m_bus(std::move(bus))
{
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    for (int i = 0; i < drawerdriver::DrawerCount; ++i)
        m_drawers[i].number = i + 1;
}

void DrawerBus::start()
{
    m_bus.connect(ServiceName, QString(), QString::fromLatin1(bus::PropertiesInterface),
        QString::fromLatin1(bus::PropertiesChangedSignal), this,
        SLOT(onPropertiesChanged(QDBusMessage)));
    auto *watcher = new QDBusServiceWatcher(
        ServiceName, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &DrawerBus::onOwnerChanged);
    readAll();
}

void DrawerBus::readAll()
{
    const QDBusMessage call = QDBusMessage::createMethodCall(ServiceName,
        QString::fromLatin1(bus::ManagerPath), QString::fromLatin1(bus::ObjectManagerInterface),
        QString::fromLatin1(bus::GetManagedObjectsMethod));
    auto *pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call, OpenTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<ManagedObjects> reply = *w;
        if (reply.isError()) {
            qWarning("kestrin-drawer-web: cannot read the drawers from the drawer service (%s)",
                qPrintable(reply.error().name()));
            // Activation failed or the bus is refusing: ask again later.
            QTimer::singleShot(5000, this, &DrawerBus::readAll);
            return;
        }
        m_known = true;
        const ManagedObjects objects = reply.value();
        for (auto it = objects.begin(); it != objects.end(); ++it)
            if (const int number = bus::drawerNumber(it.key().path().toStdString()))
                apply(m_drawers[number - 1], it.value().value(DrawerInterface));
        emit drawersReset();
    });
}

bool DrawerBus::apply(WebDrawer &drawer, const QVariantMap &values)
{
    const WebDrawer before = drawer;
    auto set = [&](const char *name, auto &field) {
        const auto it = values.find(QLatin1String(name));
        if (it != values.end())
            field = it->value<std::remove_reference_t<decltype(field)>>();
    };
    set(bus::ConfiguredProperty, drawer.configured);
    set(bus::PresentProperty, drawer.present);
    set(bus::OpenProperty, drawer.open);
    set(bus::HasSensorProperty, drawer.hasSensor);
    set(bus::ChangedProperty, drawer.changedUs);
    return before.configured != drawer.configured || before.present != drawer.present
        || before.open != drawer.open || before.hasSensor != drawer.hasSensor
        || before.changedUs != drawer.changedUs;
}

void DrawerBus::onPropertiesChanged(const QDBusMessage &message)
{
    const int number = bus::drawerNumber(message.path().toStdString());
    if (number == 0 || message.arguments().value(0).toString() != DrawerInterface)
        return;
    WebDrawer &drawer = m_drawers[number - 1];
    const bool wasConfigured = drawer.configured;
    if (!apply(drawer, qdbus_cast<QVariantMap>(message.arguments().value(1))))
        return;
    if (wasConfigured != drawer.configured)
        emit drawersReset();
    else
        emit drawerChanged(number);
}

void DrawerBus::onOwnerChanged(const QString &, const QString &, const QString &newOwner)
{
    if (!newOwner.isEmpty()) {
        readAll();
        return;
    }
    // The service is gone: nothing is present until it is back.
    for (WebDrawer &drawer : m_drawers)
        drawer.present = drawer.open = false;
    emit drawersReset();
}

void DrawerBus::open(int number, const QString &reason, OpenDone done)
{
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName,
        QString::fromStdString(bus::drawerPath(number)), DrawerInterface,
        QString::fromLatin1(bus::OpenBeforeMethod));
    // Fired before the deadline or not at all, and answered by then, so
    // that an error means that nothing fired. steady_clock is the
    // service's CLOCK_MONOTONIC.
    const auto deadline = std::chrono::steady_clock::now()
        + std::chrono::milliseconds(OpenTimeoutMs) - bus::ReplyRoom;
    call << reason
         << qulonglong(
                std::chrono::duration_cast<std::chrono::microseconds>(deadline.time_since_epoch())
                    .count());
    // Never blocking: other clients are served while the service answers.
    auto *pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call, OpenTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
        [done = std::move(done)](QDBusPendingCallWatcher *watcher) {
            watcher->deleteLater();
            const QDBusError error = watcher->error();
            const QString name = error.name();
            const bool own = name.startsWith(QLatin1String(bus::ServiceName));
            done(resultOf(*watcher), own ? error.message() : QString());
        });
}

void DrawerBus::print(
    int number, const QByteArray &bytes, const QString &title, const QString &user, PrintDone done)
{
    // The job goes to the service as a sealed file in memory, which it reads
    // to its end: nothing the bridge does later changes what prints.
    const int fd = ::memfd_create("kestrin-print-job", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    bool written = fd >= 0;
    for (qsizetype at = 0; written && at < bytes.size();) {
        const ssize_t wrote = ::write(fd, bytes.constData() + at, size_t(bytes.size() - at));
        written = wrote > 0;
        at += std::max<ssize_t>(wrote, 0);
    }
    written = written
        && ::fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) == 0
        && ::lseek(fd, 0, SEEK_SET) == 0;
    if (!written) {
        const QDBusError error(QDBusError::Failed,
            QStringLiteral("cannot hold the job in memory: %1").arg(qt_error_string(errno)));
        if (fd >= 0)
            ::close(fd);
        done(error, 0);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName,
        QString::fromStdString(bus::drawerPath(number)), DrawerInterface,
        QString::fromLatin1(bus::PrintMethod));
    call << QVariant::fromValue(QDBusUnixFileDescriptor(fd)) << title << user;
    ::close(fd); // the descriptor object holds a copy
    auto *pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call, PrintTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
        [done = std::move(done)](QDBusPendingCallWatcher *watcher) {
            watcher->deleteLater();
            const QDBusPendingReply<quint64> reply = *watcher;
            done(reply.isError() ? reply.error() : QDBusError(),
                reply.isError() ? 0 : reply.value());
        });
}
