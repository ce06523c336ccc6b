#pragma once

#include "drawerapi.h"
#include "drawerlibrary.h"

#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

// A library file or entry point that cannot be found, in plain words (UTF-8).
// Nothing in the window catches it: it ends the program with its message.
class DrawerLibraryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Binds DrawerLibrary to the vendor's shared library. The file is loaded at the
// first call of any function and each function is looked up by its plain name
// at its own first call, so the window comes up without the library and a
// missing entry point only matters once it is needed. Later calls go straight
// to the function found.
//
// Where the file is looked for. A program that takes a library from the
// folder it was started in, or from anywhere on PATH, runs the code of
// whoever could put a file there: a library planted beside a document the
// user opens, or in a shared folder, would be loaded with the user's rights.
// So the working directory is never searched, only folders that belong to the
// installed program or to the system:
// - Linux: the folders given (the program's own folder, then the private
//   lib/kestrin-drawer beside it, as an installed bin/../lib/kestrin-drawer),
//   and nothing else: not the dynamic loader's own path, where an empty
//   entry in a RUNPATH or LD_LIBRARY_PATH means the working directory.
// - Windows: the program's own folder, where a shop puts its vendor's DLL,
//   and System32; never the working directory or PATH, which the standard
//   search of a DLL includes.
class VendorDrawerLibrary final : public DrawerLibrary {
public:
#if defined(_WIN32)
    // fileName is a bare name, UTF-8.
    explicit VendorDrawerLibrary(std::string fileName = defaultFileName());
#else
    // Looks for fileName in each of searchDirs (absolute paths only; others
    // are skipped); not found in any, the first call throws.
    explicit VendorDrawerLibrary(
        std::vector<std::string> searchDirs, std::string fileName = defaultFileName());

    // The folders a program in programDir searches, in order: that folder
    // itself, then lib/kestrin-drawer beside it. Both are taken from where the
    // folder really is, symbolic links resolved, so a link to the program or
    // to its folder finds the same library. A relative or missing folder
    // gives none, and so no library.
    static std::vector<std::string> programSearchDirs(const std::string &programDir);
#endif
    // The library stays mapped until the process ends: a vendor library may
    // keep threads or handlers of its own that must not outlive their code.
    ~VendorDrawerLibrary() override = default;
    VendorDrawerLibrary(const VendorDrawerLibrary &) = delete;
    VendorDrawerLibrary &operator=(const VendorDrawerLibrary &) = delete;

    // KestrinPOS_USB.dll on Windows, libKestrinPOS_USB.so elsewhere.
    static std::string defaultFileName();

    std::int32_t GetDrawerHandle(std::uint8_t drawerNumber) override;
    void ReleaseDrawerHandle(std::int32_t handle) override;
    std::int16_t GetDrawerStatus(std::int32_t handle) override;
    std::int16_t OpenDrawer(std::int32_t handle) override;

    bool isLoaded() const
    {
        return m_module != nullptr;
    }
    // The file the library was loaded from (UTF-8), empty before the load.
    const std::string &loadedFrom() const
    {
        return m_loadedFrom;
    }

private:
    using Symbol = void (*)();

    void load();
    Symbol resolve(const char *name);
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

#if !defined(_WIN32)
    std::vector<std::string> m_searchDirs;
#endif
    std::string m_fileName;
    std::string m_loadedFrom;
    void *m_module = nullptr; // the HMODULE or dlopen handle
    GetDrawerHandleFunction m_getDrawerHandle = nullptr;
    ReleaseDrawerHandleFunction m_releaseDrawerHandle = nullptr;
    GetDrawerStatusFunction m_getDrawerStatus = nullptr;
    OpenDrawerFunction m_openDrawer = nullptr;
};
