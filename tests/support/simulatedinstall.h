// The built program and the simulated drawer library copied into a folder of
// their own, with a state file of their own: the program as a user runs it,
// in its own process, and the simulator's trace of what it asked.
#pragma once

#include "simtool.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

struct TraceCall {
    qint64 micros;
    QString function;
    qint64 argument;
    QString result; // "-" for ReleaseDrawerHandle
};

class SimulatedInstall {
public:
    SimulatedInstall()
    {
        for (const QString &file :
            {QStringLiteral("kestrin-drawer"), QStringLiteral("libKestrinPOS_USB.so")})
            QFile::copy(
                QDir(QStringLiteral(KESTRIN_BIN_DIR)).filePath(file), m_home.filePath(file));
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_env.insert(
            QStringLiteral("KESTRIN_SIM_STATE"), m_home.filePath(QStringLiteral("sim.state")));
        m_env.remove(QStringLiteral("LD_LIBRARY_PATH"));
    }

    ~SimulatedInstall()
    {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
    }

    QString path(const QString &file) const { return m_home.filePath(file); }

    // Runs the control tool on this install's state; true when it succeeded.
    bool tool(const QStringList &arguments) const
    {
        const SimToolResult result = runSimTool(arguments, m_env);
        return result.normalExit && result.exitCode == 0;
    }

    bool start()
    {
        program.setProcessEnvironment(m_env);
        program.start(path(QStringLiteral("kestrin-drawer")), {});
        return program.waitForStarted();
    }

    // Asks the program to end as a session manager would; true when it ended
    // normally with status 0.
    bool terminate()
    {
        ::kill(pid_t(program.processId()), SIGTERM);
        return program.waitForFinished(20000) && program.exitStatus() == QProcess::NormalExit
            && program.exitCode() == 0;
    }

    QList<TraceCall> trace() const
    {
        QList<TraceCall> calls;
        QFile file(path(QStringLiteral("sim.state.trace")));
        if (!file.open(QIODevice::ReadOnly))
            return calls;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> words = line.split(' ');
            if (words.size() == 4)
                calls.append({words[0].toLongLong(), QString::fromLatin1(words[1]),
                    words[2].toLongLong(), QString::fromLatin1(words[3])});
        }
        return calls;
    }

    qsizetype count(const QString &function) const
    {
        qsizetype n = 0;
        for (const TraceCall &call : trace())
            n += call.function == function;
        return n;
    }

    QProcess program;

private:
    QTemporaryDir m_home;
    QProcessEnvironment m_env;
};
