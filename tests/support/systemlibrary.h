// Whether this machine's dynamic loader would find a drawer library by name
// on its own: where one is installed, "no library" cannot be staged.
#pragma once

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

inline bool loaderFindsADrawerLibrary()
{
    const QString file = QStringLiteral("libKestrinPOS_USB.so");
    QStringList dirs
        = qEnvironmentVariable("LD_LIBRARY_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    dirs << QStringLiteral("/lib") << QStringLiteral("/usr/lib");
    for (const QString &dir : dirs)
        if (QFile::exists(dir + QLatin1Char('/') + file))
            return true;
    const QString ldconfig = QStandardPaths::findExecutable(
        QStringLiteral("ldconfig"), {QStringLiteral("/sbin"), QStringLiteral("/usr/sbin")});
    if (ldconfig.isEmpty())
        return false;
    QProcess cache;
    cache.start(ldconfig, {QStringLiteral("-p")});
    cache.waitForFinished(10000);
    return cache.readAllStandardOutput().contains((file + QLatin1Char(' ')).toLatin1());
}
