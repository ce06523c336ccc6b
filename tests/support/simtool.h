// Runs the simulator's control tool, as a user would from a terminal.
#pragma once

#include <QDir>
#include <QProcess>

struct SimToolResult {
    bool normalExit = false; // finished in time, without a crash
    int exitCode = -1;
    QString out;
    QString err;
};

inline SimToolResult runSimTool(const QStringList &arguments,
    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(
        QDir(QStringLiteral(KESTRIN_BIN_DIR)).filePath(QStringLiteral("kestrin-drawer-sim")),
        arguments);
    SimToolResult result;
    result.normalExit
        = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}
