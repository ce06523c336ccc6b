// Users and groups of a test's own, in its mount namespace only: a copy of
// a file of /etc with lines added, mounted over it. Processes started
// afterwards (a private bus, the services it starts) see them too.
#pragma once

#include <QFile>
#include <QString>

#include <sys/mount.h>

// Adds lines to a copy of /etc/NAME in folder and mounts the copy over it.
inline bool extendEtcFile(const QString &name, const QString &folder, const QString &lines)
{
    QFile original(QStringLiteral("/etc/") + name);
    QFile copy(folder + QLatin1Char('/') + name);
    if (!original.open(QIODevice::ReadOnly) || !copy.open(QIODevice::WriteOnly))
        return false;
    for (const QByteArray &line : original.readAll().split('\n'))
        if (!line.startsWith("kestrin-") && !line.isEmpty())
            copy.write(line + '\n');
    copy.write(lines.toUtf8());
    copy.close();
    return ::mount(QFile::encodeName(copy.fileName()).constData(),
               QFile::encodeName(original.fileName()).constData(), nullptr, MS_BIND, nullptr)
        == 0;
}
