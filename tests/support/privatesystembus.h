// A private dbus-daemon with the system bus's rules (deny by default) and
// the package's own policy for the drawer service (and the web package's
// for its account, where WEB_BUS_POLICY names it), which it starts from the
// build tree when a client first asks for it, as the system bus would.
#pragma once

#include <QFile>
#include <QProcess>

#if defined(QT_DBUS_LIB)
#include "busapi.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QTemporaryFile>

#include <unistd.h>

// Prints a job read from fd on a drawer's printer through the service.
inline QDBusPendingCall printFrom(
    QDBusConnection bus, int drawer, int fd, const QString &user = QStringLiteral("alice"))
{
    namespace api = drawerdriver::bus;
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(api::ServiceName),
        QString::fromStdString(api::drawerPath(drawer)), QString::fromLatin1(api::DrawerInterface),
        QString::fromLatin1(api::PrintMethod));
    message << QVariant::fromValue(QDBusUnixFileDescriptor(fd)) << QStringLiteral("receipt")
            << user;
    return bus.asyncCall(message, 10000);
}

// Prints a job on a drawer's printer through the service, from a file, as
// the spooler's backend does; the answer comes once the printer has it.
inline QDBusPendingCall printJob(QDBusConnection bus, int drawer, const QByteArray &job,
    const QString &user = QStringLiteral("alice"))
{
    QTemporaryFile file;
    if (!file.open() || file.write(job) != job.size() || !file.flush()
        || ::lseek(file.handle(), 0, SEEK_SET) != 0)
        qFatal("cannot write a print job");
    return printFrom(bus, drawer, file.handle(), user);
}
#endif

class PrivateSystemBus {
public:
    ~PrivateSystemBus()
    {
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }

    // Files go into folder; the daemon and the services it starts get env.
    // Empty on success, otherwise what went wrong.
    QString start(const QString &folder, QProcessEnvironment env)
    {
        QFile templ(QStringLiteral(SYSTEM_BUS_TEMPLATE));
        if (!templ.open(QIODevice::ReadOnly))
            return templ.errorString();
        const QString socket = folder + QStringLiteral("/system_bus_socket");
        QString config = QString::fromUtf8(templ.readAll());
        QString policies = QStringLiteral("<include>" BUS_POLICY "</include>");
#if defined(WEB_BUS_POLICY)
        policies += QStringLiteral("<include>" WEB_BUS_POLICY "</include>");
#endif
        config.replace(QStringLiteral("@SOCKET@"), socket)
            .replace(QStringLiteral("@SERVICEDIR@"), folder)
            .replace(QStringLiteral("@POLICIES@"), policies);
        const QString activation = QStringLiteral("[D-BUS Service]\nName=org.kestrin.Drawers1\n"
                                                  "Exec=%1\nUser=root\n")
                                       .arg(QStringLiteral(SERVICE_PROGRAM));
        if (!write(folder + QStringLiteral("/bus.conf"), config)
            || !write(folder + QStringLiteral("/org.kestrin.Drawers1.service"), activation))
            return QStringLiteral("cannot write the bus's files in ") + folder;
        address = QStringLiteral("unix:path=") + socket;
        m_folder = folder;
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
        m_daemon.setProcessEnvironment(env);
        m_daemon.start(QStringLiteral("dbus-daemon"),
            {QStringLiteral("--nofork"), QStringLiteral("--print-address"),
                QStringLiteral("--config-file=") + folder + QStringLiteral("/bus.conf")});
        if (!m_daemon.waitForReadyRead(10000))
            return QStringLiteral("dbus-daemon did not start: ")
                + QString::fromLocal8Bit(m_daemon.readAllStandardError());
        return QString();
    }

    // What the daemon and the services it started wrote on standard error.
    QString log()
    {
        m_log += QString::fromLocal8Bit(m_daemon.readAllStandardError());
        return m_log;
    }

    QString address;

#if defined(QT_DBUS_LIB)
    // The drawer service's process, or 0 when it is not running.
    qint64 servicePid()
    {
        const QDBusConnection bus
            = QDBusConnection::connectToBus(address, QStringLiteral("lookup"));
        return bus.interface()->servicePid(QString::fromLatin1(drawerdriver::bus::ServiceName));
    }

    // Whether the bus starts the service for a client that calls it, as
    // when its package is installed or removed.
    bool setActivatable(bool activatable)
    {
        const QString file = m_folder + QStringLiteral("/org.kestrin.Drawers1.service");
        const bool renamed = activatable ? QFile::rename(file + QStringLiteral(".off"), file)
                                         : QFile::rename(file, file + QStringLiteral(".off"));
        const QDBusConnection bus
            = QDBusConnection::connectToBus(address, QStringLiteral("lookup"));
        return renamed
            && bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                            QStringLiteral("/org/freedesktop/DBus"),
                            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReloadConfig")))
                   .type()
            == QDBusMessage::ReplyMessage;
    }

    // The unique name of the process's connection, or empty.
    QString uniqueNameOf(qint64 pid)
    {
        const QDBusConnection bus
            = QDBusConnection::connectToBus(address, QStringLiteral("lookup"));
        for (const QString &name : bus.interface()->registeredServiceNames().value())
            if (name.startsWith(QLatin1Char(':')) && bus.interface()->servicePid(name) == pid)
                return name;
        return {};
    }

    // What only the bus and the drawer service may say, sent straight to
    // target from a connection of its own, as any local user can: the
    // service has gone, and drawers 1 and 3 are gone and closed. Returns
    // once the bus has passed the signals on.
    void forgeServiceSignals(const QString &target)
    {
        namespace bus = drawerdriver::bus;
        const QString service = QString::fromLatin1(bus::ServiceName);
        QDBusConnection forger = QDBusConnection::connectToBus(address, QStringLiteral("forger"));
        QDBusMessage gone
            = QDBusMessage::createTargetedSignal(target, QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"));
        gone << service << forger.interface()->serviceOwner(service).value() << QString();
        forger.send(gone);
        for (const int number : {1, 3}) {
            QDBusMessage absent = QDBusMessage::createTargetedSignal(target,
                QString::fromStdString(bus::drawerPath(number)),
                QString::fromLatin1(bus::PropertiesInterface),
                QString::fromLatin1(bus::PropertiesChangedSignal));
            absent << QString::fromLatin1(bus::DrawerInterface)
                   << QVariantMap {{QString::fromLatin1(bus::PresentProperty), false},
                          {QString::fromLatin1(bus::OpenProperty), false},
                          {QString::fromLatin1(bus::ChangedProperty),
                              QVariant::fromValue(qulonglong(0))}}
                   << QStringList();
            forger.send(absent);
        }
        // The bus answers a call after it has passed on what came before.
        forger.interface()->isServiceRegistered(service);
        QDBusConnection::disconnectFromBus(QStringLiteral("forger"));
    }
#endif

private:
    static bool write(const QString &path, const QString &text)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
    }

    QProcess m_daemon;
    QString m_log;
    QString m_folder;
};
