// A drawer configuration for the drawer library under test: written into a
// test's own folder and named in KESTRIN_DRAWERS_CONF, where the library
// reads it at every GetDrawerHandle.
#pragma once

#include <QFile>
#include <QTemporaryDir>

inline bool writeDrawerConfig(const QTemporaryDir &folder, const QString &text)
{
    const QString path = folder.filePath(QStringLiteral("drawers.conf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(text.toUtf8()) != text.toUtf8().size())
        return false;
    qputenv("KESTRIN_DRAWERS_CONF", QFile::encodeName(path));
    return true;
}
