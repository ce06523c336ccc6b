#include "vendordrawerlibrary.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// QLibrary wraps the loader's own words in a sentence of its own; keep the
// loader's reason, which is what tells the user what is wrong.
QString loaderReason(const QLibrary &library)
{
    static const QRegularExpression wrapped(QStringLiteral("^Cannot [^(]*\\((.*)\\)$"));
    const QString message = library.errorString();
    const QRegularExpressionMatch match = wrapped.match(message);
    return match.hasMatch() ? match.captured(1) : message;
}

} // namespace

VendorDrawerLibrary::VendorDrawerLibrary(const QStringList &searchDirs, const QString &fileName)
    : m_searchDirs(searchDirs), m_fileName(fileName)
{
    // Resolve every symbol at load time so that a broken library fails at
    // once, not in the middle of a call.
    m_library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
}

// The library stays mapped until the process ends: a vendor library may keep
// threads or handlers of its own that must not outlive their code.
VendorDrawerLibrary::~VendorDrawerLibrary() = default;

QString VendorDrawerLibrary::defaultFileName()
{
#if defined(Q_OS_WIN)
    return QStringLiteral("KestrinPOS_USB.dll");
#elif defined(Q_OS_MACOS)
    return QStringLiteral("libKestrinPOS_USB.dylib");
#else
    return QStringLiteral("libKestrinPOS_USB.so");
#endif
}

QStringList VendorDrawerLibrary::programSearchDirs(const QString &programDir)
{
    if (QDir::isRelativePath(programDir))
        return {};
    const QString real = QFileInfo(programDir).canonicalFilePath();
    if (real.isEmpty())
        return {};
    return {real, QDir::cleanPath(real + QStringLiteral("/../lib/kestrin-drawer"))};
}

void VendorDrawerLibrary::load()
{
    for (const QString &dir : m_searchDirs) {
        // A relative folder would resolve against the working directory,
        // where anybody may have planted a library.
        if (QDir::isRelativePath(dir))
            continue;
        const QString candidate = QDir(dir).absoluteFilePath(m_fileName);
        if (!QFileInfo::exists(candidate))
            continue;
        m_library.setFileName(candidate);
        if (!m_library.load())
            throw DrawerLibraryError(QStringLiteral("Cannot load the drawer library %1: %2")
                                         .arg(candidate, loaderReason(m_library)));
        return;
    }

    // A bare name: the dynamic loader searches its own path, never the
    // working directory.
    m_library.setFileName(m_fileName);
    if (!m_library.load())
        throw DrawerLibraryError(QStringLiteral("Cannot load the drawer library %1: %2")
                                     .arg(m_fileName, loaderReason(m_library)));
}

QFunctionPointer VendorDrawerLibrary::resolve(const char *name)
{
    if (!m_library.isLoaded())
        load();
    const QFunctionPointer function = m_library.resolve(name);
    // QLibrary tells no more than that the symbol is absent.
    if (!function)
        throw DrawerLibraryError(QStringLiteral(
            "The drawer library %1 has no function named %2: the symbol is not exported.")
                                     .arg(m_library.fileName(), QLatin1String(name)));
    return function;
}

std::int32_t VendorDrawerLibrary::GetDrawerHandle(std::uint8_t drawerNumber)
{
    return entryPoint(m_getDrawerHandle, "GetDrawerHandle")(drawerNumber);
}

void VendorDrawerLibrary::ReleaseDrawerHandle(std::int32_t handle)
{
    entryPoint(m_releaseDrawerHandle, "ReleaseDrawerHandle")(handle);
}

std::int16_t VendorDrawerLibrary::GetDrawerStatus(std::int32_t handle)
{
    return entryPoint(m_getDrawerStatus, "GetDrawerStatus")(handle);
}

std::int16_t VendorDrawerLibrary::OpenDrawer(std::int32_t handle)
{
    return entryPoint(m_openDrawer, "OpenDrawer")(handle);
}
