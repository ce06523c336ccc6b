// The four entry points of a drawer library file, to call directly.
#pragma once

#include "drawer/drawerapi.h"

#include <QLibrary>

struct DrawerFunctions {
    decltype(&::GetDrawerHandle) getHandle = nullptr;
    decltype(&::ReleaseDrawerHandle) release = nullptr;
    decltype(&::GetDrawerStatus) status = nullptr;
    decltype(&::OpenDrawer) openDrawer = nullptr;

    // Loads the file, which then stays loaded, and resolves all four entry
    // points. Empty on success, otherwise what went wrong.
    QString load(const QString &path)
    {
        QLibrary library(path);
        if (!library.load())
            return library.errorString();
        getHandle = reinterpret_cast<decltype(getHandle)>(library.resolve("GetDrawerHandle"));
        release = reinterpret_cast<decltype(release)>(library.resolve("ReleaseDrawerHandle"));
        status = reinterpret_cast<decltype(status)>(library.resolve("GetDrawerStatus"));
        openDrawer = reinterpret_cast<decltype(openDrawer)>(library.resolve("OpenDrawer"));
        if (!getHandle || !release || !status || !openDrawer)
            return path + QStringLiteral(" lacks one of the four entry points");
        return QString();
    }
};
