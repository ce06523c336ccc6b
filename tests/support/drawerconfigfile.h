// A drawer configuration for the drawer library under test: written into a
// test's own folder and named in KESTRIN_DRAWERS_CONF, where the library
// reads it. Replaced whole, as an editor saves, so that the library never
// reads half of it.
#pragma once

#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

inline bool writeDrawerConfig(const QTemporaryDir &folder, const QString &text)
{
    const QString path = folder.filePath(QStringLiteral("drawers.conf"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) != text.toUtf8().size()
        || !file.commit())
        return false;
    qputenv("KESTRIN_DRAWERS_CONF", QFile::encodeName(path));
    return true;
}
