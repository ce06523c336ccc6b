#pragma once

#include "drawerapi.h"
#include "drawerlibrary.h"

#include <QLibrary>
#include <QStringList>

#include <stdexcept>
#include <type_traits>

// A library file or entry point that cannot be found. Nothing in the window
// catches it: it ends the program with its message.
class DrawerLibraryError : public std::runtime_error {
public:
    explicit DrawerLibraryError(const QString &message) : std::runtime_error(message.toStdString())
    {
    }
};

// Binds DrawerLibrary to the vendor's shared library. The file is loaded at the
// first call of any function and each function is looked up at its own first
// call, so the window comes up without the library and a missing entry point
// only matters once it is needed.
class VendorDrawerLibrary final : public DrawerLibrary {
public:
    // Looks for fileName in each of searchDirs (absolute paths only), then by
    // bare name on the system's dynamic-loader path. The working directory is
    // never searched.
    explicit VendorDrawerLibrary(
        const QStringList &searchDirs, const QString &fileName = defaultFileName());
    ~VendorDrawerLibrary() override;

    // libKestrinPOS_USB.so on Linux, KestrinPOS_USB.dll on Windows.
    static QString defaultFileName();

    // The folders a program in programDir searches, in order: that folder
    // itself, then the private folder lib/kestrin-drawer beside it (an
    // installed program's bin/../lib/kestrin-drawer). Both are taken from
    // where the folder really is, symbolic links resolved, so a link to the
    // program or to its folder finds the same library. A relative or missing
    // folder gives none: the library is then looked for by name only.
    static QStringList programSearchDirs(const QString &programDir);

    std::int32_t GetDrawerHandle(std::uint8_t drawerNumber) override;
    void ReleaseDrawerHandle(std::int32_t handle) override;
    std::int16_t GetDrawerStatus(std::int32_t handle) override;
    std::int16_t OpenDrawer(std::int32_t handle) override;

    bool isLoaded() const { return m_library.isLoaded(); }
    QString loadedFrom() const { return m_library.fileName(); }

private:
    void load();
    QFunctionPointer resolve(const char *name);
    template<typename Function> Function entryPoint(Function &cached, const char *name)
    {
        if (!cached)
            cached = reinterpret_cast<Function>(resolve(name));
        return cached;
    }

    // The entry points as looked up, in the library's calling convention.
    using GetDrawerHandleFunction = std::int32_t(KESTRIN_DRAWER_CALL *)(std::uint8_t);
    using ReleaseDrawerHandleFunction = void(KESTRIN_DRAWER_CALL *)(std::int32_t);
    using GetDrawerStatusFunction = std::int16_t(KESTRIN_DRAWER_CALL *)(std::int32_t);
    using OpenDrawerFunction = std::int16_t(KESTRIN_DRAWER_CALL *)(std::int32_t);
    // A calling convention is part of a function's type: these fail to
    // compile if a pointer type and the declared entry point disagree.
    static_assert(std::is_same_v<GetDrawerHandleFunction, decltype(&::GetDrawerHandle)>);
    static_assert(std::is_same_v<ReleaseDrawerHandleFunction, decltype(&::ReleaseDrawerHandle)>);
    static_assert(std::is_same_v<GetDrawerStatusFunction, decltype(&::GetDrawerStatus)>);
    static_assert(std::is_same_v<OpenDrawerFunction, decltype(&::OpenDrawer)>);

    QStringList m_searchDirs;
    QString m_fileName;
    QLibrary m_library;
    GetDrawerHandleFunction m_getDrawerHandle = nullptr;
    ReleaseDrawerHandleFunction m_releaseDrawerHandle = nullptr;
    GetDrawerStatusFunction m_getDrawerStatus = nullptr;
    OpenDrawerFunction m_openDrawer = nullptr;
};
