#include "vendordrawerlibrary.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

bool isAbsolute(const std::string &path)
{
    return !path.empty() && path.front() == '/';
}

std::string loaderError()
{
    const char *reason = ::dlerror();
    return reason ? reason : "unknown reason";
}

} // namespace

VendorDrawerLibrary::VendorDrawerLibrary(std::vector<std::string> searchDirs, std::string fileName)
    : m_searchDirs(std::move(searchDirs)), m_fileName(std::move(fileName))
{
}

std::string VendorDrawerLibrary::defaultFileName()
{
#if defined(__APPLE__)
    return "libKestrinPOS_USB.dylib";
#else
    return "libKestrinPOS_USB.so";
#endif
}

std::vector<std::string> VendorDrawerLibrary::programSearchDirs(const std::string &programDir)
{
    if (!isAbsolute(programDir))
        return {};
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::canonical(programDir, error);
    if (error)
        return {};
    return {folder.string(), (folder.parent_path() / "lib/kestrin-drawer").string()};
}

void VendorDrawerLibrary::load()
{
    std::string file;
    std::string searched;
    for (const std::string &dir : m_searchDirs) {
        // A relative folder would resolve against the working directory,
        // where anybody may have planted a library.
        if (!isAbsolute(dir))
            continue;
        const std::string candidate = (std::filesystem::path(dir) / m_fileName).string();
        std::error_code error;
        if (std::filesystem::exists(candidate, error)) {
            file = candidate;
            break;
        }
        searched += (searched.empty() ? "" : ", ") + dir;
    }
    // Never the bare name: the loader would look for it on its own path,
    // which a RUNPATH or LD_LIBRARY_PATH with an empty entry turns into the
    // working directory.
    if (file.empty())
        throw DrawerLibraryError("Cannot load the drawer library " + m_fileName + ": "
            + (searched.empty() ? "no folder of the program's to look in"
                                : std::strerror(ENOENT) + (" in " + searched)));
    // Every symbol resolved at load time, so that a broken library fails at
    // once, not in the middle of a call.
    void *module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        throw DrawerLibraryError("Cannot load the drawer library " + file + ": " + loaderError());
    m_module = module;
    m_loadedFrom = file;
}

VendorDrawerLibrary::Symbol VendorDrawerLibrary::resolve(const char *name)
{
    if (!m_module)
        load();
    ::dlerror();
    void *function = ::dlsym(m_module, name);
    if (!function)
        throw DrawerLibraryError("The drawer library " + m_loadedFrom + " has no function named "
            + name + ": the symbol is not exported.");
    return reinterpret_cast<Symbol>(function);
}
