// A private print spooler: the system's cupsd with a configuration of its
// own in a folder, listening on a free port of 127.0.0.1 and on a socket
// there (through which root administers it), with a backend folder holding
// only the backend under test, run as lp as the real spooler runs it. Its
// backends reach the bus and drawers.conf given. The spooler's tools reach
// it through CUPS_SERVER in environment().
#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

class PrivateCupsd {
public:
    ~PrivateCupsd()
    {
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }

    // Empty on success, otherwise what went wrong. folder must be one that lp
    // may pass through, as must the bus's socket.
    QString start(const QString &folder, const QString &backend, const QString &busAddress,
        const QString &drawersConf)
    {
        m_folder = folder;
        QDir dir(folder);
        for (const char *sub : {"bin/backend", "spool/tmp", "cache", "state", "log"})
            if (!dir.mkpath(QString::fromLatin1(sub)))
                return QStringLiteral("cannot make the spooler's folders in ") + folder;
        // The spooler's own helpers and filters, with the one backend.
        const QString kestrin = folder + QStringLiteral("/bin/backend/kestrin");
        if (!QFile::link(
                QStringLiteral("/usr/lib/cups/daemon"), folder + QStringLiteral("/bin/daemon"))
            || !QFile::link(
                QStringLiteral("/usr/lib/cups/filter"), folder + QStringLiteral("/bin/filter"))
            || !QFile::copy(backend, kestrin)
            || !QFile::setPermissions(kestrin,
                QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther))
            return QStringLiteral("cannot lay out the spooler's programs");
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        probe.close();
        const QString socket = folder + QStringLiteral("/cups.sock");
        if (!write(QStringLiteral("cupsd.conf"),
                QStringLiteral("Listen 127.0.0.1:%1\nListen %2\nLogLevel debug\n"
                               "JobRetryInterval 1\nBrowsing No\n"
                               "<Location />\nOrder allow,deny\nAllow 127.0.0.1\n</Location>\n")
                    .arg(port)
                    .arg(socket))
            || !write(QStringLiteral("cups-files.conf"),
                QStringLiteral("ServerRoot %1\nServerBin %1/bin\nRequestRoot %1/spool\n"
                               "TempDir %1/spool/tmp\nCacheDir %1/cache\nStateDir %1/state\n"
                               "ErrorLog %1/log/error_log\nAccessLog %1/log/access_log\n"
                               "PageLog %1/log/page_log\nUser lp\nGroup lp\n"
                               "SetEnv DBUS_SYSTEM_BUS_ADDRESS %2\n"
                               "SetEnv KESTRIN_DRAWERS_CONF %3\n")
                    .arg(folder, busAddress, drawersConf)))
            return QStringLiteral("cannot write the spooler's configuration");
        m_environment = QProcessEnvironment::systemEnvironment();
        m_environment.insert(QStringLiteral("CUPS_SERVER"), socket);
        m_daemon.setProcessChannelMode(QProcess::MergedChannels);
        m_daemon.start(QStringLiteral("cupsd"),
            {QStringLiteral("-f"), QStringLiteral("-c"), folder + QStringLiteral("/cupsd.conf"),
                QStringLiteral("-s"), folder + QStringLiteral("/cups-files.conf")});
        for (int tries = 0; tries < 100; ++tries) {
            if (run({QStringLiteral("lpstat"), QStringLiteral("-r")}).exit == 0
                && m_lastOutput.startsWith("scheduler is running"))
                return QString();
            if (m_daemon.state() == QProcess::NotRunning)
                break;
            QTest::qWait(100);
        }
        return QStringLiteral("cupsd did not start: ") + QString::fromLocal8Bit(m_daemon.readAll());
    }

    // One of the system's backends beside the one under test, such as
    // socket, for a queue straight to a printer.
    bool addSystemBackend(const QString &name)
    {
        const QString copy = m_folder + QStringLiteral("/bin/backend/") + name;
        return QFile::copy(QStringLiteral("/usr/lib/cups/backend/") + name, copy)
            && QFile::setPermissions(
                copy, QFile::permissions(QStringLiteral("/usr/lib/cups/backend/") + name));
    }

    struct Run {
        int exit = -1;
        QString output;
    };
    // One of the spooler's tools, on this spooler, in the C locale.
    Run run(const QStringList &command, const QByteArray &input = {})
    {
        QProcess tool;
        QProcessEnvironment environment = m_environment;
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        tool.setProcessEnvironment(environment);
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(command.first(), command.mid(1));
        tool.write(input);
        tool.closeWriteChannel();
        if (!tool.waitForFinished(20000))
            tool.kill();
        m_lastOutput = tool.readAll();
        return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1,
            QString::fromLocal8Bit(m_lastOutput)};
    }

    QProcessEnvironment environment() const { return m_environment; }
    // The spooler's log, where the backend's messages go.
    QString log() const
    {
        QFile file(m_folder + QStringLiteral("/log/error_log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
    }

    quint16 port = 0;

private:
    bool write(const QString &name, const QString &text)
    {
        QFile file(m_folder + QLatin1Char('/') + name);
        return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
    }

    QString m_folder;
    QProcess m_daemon;
    QProcessEnvironment m_environment;
    QByteArray m_lastOutput;
};
