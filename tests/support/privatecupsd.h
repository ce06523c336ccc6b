// A private print spooler: the system's cupsd with a configuration of its
// own in a folder, listening on a free port of 127.0.0.1 and on a socket
// there (through which root administers it), with a backend folder of its
// own holding the backend under test, which it runs as lp. Its backends
// reach the bus and drawers.conf given; its tools, through CUPS_SERVER.
#pragma once

#include <QDir>
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

    // Empty on success, otherwise what went wrong. The spooler's account
    // must be let through the folder's parents and to the bus's socket.
    QString start(const QString &folder, const QString &backend, const QString &busAddress,
        const QString &drawersConf)
    {
        m_folder = folder;
        for (const char *sub : {"bin/backend", "spool/tmp", "cache", "state", "log"})
            QDir(folder).mkpath(QString::fromLatin1(sub));
        QTcpServer probe; // a free port
        probe.listen(QHostAddress::LocalHost);
        const QString socket = folder + QStringLiteral("/cups.sock");
        const QString conf = QStringLiteral(
            "Listen 127.0.0.1:%1\nListen %2\nLogLevel debug\nJobRetryInterval 1\nBrowsing No\n"
            "<Location />\nOrder allow,deny\nAllow 127.0.0.1\n</Location>\n")
                                 .arg(probe.serverPort())
                                 .arg(socket);
        const QString files = QStringLiteral(
            "ServerRoot %1\nServerBin %1/bin\nRequestRoot %1/spool\nTempDir %1/spool/tmp\n"
            "CacheDir %1/cache\nStateDir %1/state\nErrorLog %1/log/error_log\n"
            "AccessLog %1/log/access_log\nPageLog %1/log/page_log\nUser lp\nGroup lp\n"
            "SetEnv DBUS_SYSTEM_BUS_ADDRESS %2\nSetEnv KESTRIN_DRAWERS_CONF %3\n")
                                  .arg(folder, busAddress, drawersConf);
        probe.close();
        // The spooler's own helpers and filters, and the one backend.
        if (!QFile::link(
                QStringLiteral("/usr/lib/cups/daemon"), folder + QStringLiteral("/bin/daemon"))
            || !QFile::link(
                QStringLiteral("/usr/lib/cups/filter"), folder + QStringLiteral("/bin/filter"))
            || !install(backend, QStringLiteral("kestrin"))
            || !write(QStringLiteral("cupsd.conf"), conf)
            || !write(QStringLiteral("cups-files.conf"), files))
            return QStringLiteral("cannot lay out the spooler's files in ") + folder;
        m_environment = QProcessEnvironment::systemEnvironment();
        m_environment.insert(QStringLiteral("CUPS_SERVER"), socket);
        m_environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        m_daemon.setProcessChannelMode(QProcess::MergedChannels);
        m_daemon.start(QStringLiteral("cupsd"),
            {QStringLiteral("-f"), QStringLiteral("-c"), folder + QStringLiteral("/cupsd.conf"),
                QStringLiteral("-s"), folder + QStringLiteral("/cups-files.conf")});
        if (QTest::qWaitFor(
                [this] {
                    return run({QStringLiteral("lpstat"), QStringLiteral("-r")})
                               .output.startsWith(QLatin1String("scheduler is running"))
                        || m_daemon.state() == QProcess::NotRunning;
                },
                30000)
            && m_daemon.state() == QProcess::Running)
            return QString();
        return QStringLiteral("cupsd did not start: ") + QString::fromLocal8Bit(m_daemon.readAll());
    }

    struct Run {
        int exit = -1;
        QString output; // and its errors
    };
    // A program (the spooler's tools) on this spooler, in the C locale.
    Run run(const QStringList &command, const QByteArray &input = {})
    {
        QProcess tool;
        tool.setProcessEnvironment(m_environment);
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(command.first(), command.mid(1));
        tool.write(input);
        tool.closeWriteChannel();
        if (!tool.waitForFinished(20000))
            tool.kill();
        return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1,
            QString::fromLocal8Bit(tool.readAll())};
    }

    QProcessEnvironment environment() const { return m_environment; }
    QString folder() const { return m_folder; }
    // The spooler's log, where the backends' messages go.
    QString log() const
    {
        QFile file(m_folder + QStringLiteral("/log/error_log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
    }

private:
    // World-executable: the spooler runs it as lp.
    bool install(const QString &program, const QString &name)
    {
        const QString copy = m_folder + QStringLiteral("/bin/backend/") + name;
        return QFile::copy(program, copy)
            && QFile::setPermissions(copy,
                QFile::permissions(copy) | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther
                    | QFile::ReadGroup | QFile::ExeGroup);
    }
    bool write(const QString &name, const QString &text)
    {
        QFile file(m_folder + QLatin1Char('/') + name);
        return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
    }

    QString m_folder;
    QProcess m_daemon;
    QProcessEnvironment m_environment;
};
