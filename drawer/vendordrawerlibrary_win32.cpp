#include "vendordrawerlibrary.h"

#include <windows.h>

#include <cstdio>
#include <fstream>

namespace {

std::wstring wide(const std::string &utf8)
{
    const int size
        = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(
        CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), size);
    return text;
}

std::string utf8(const std::wstring &text)
{
    const int size = ::WideCharToMultiByte(
        CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
        size, nullptr, nullptr);
    return bytes;
}

std::wstring moduleFileName(HMODULE module)
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length
            = ::GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            return {};
        if (length < name.size()) {
            name.resize(length);
            return name;
        }
        name.resize(name.size() * 2);
    }
}

// The folder of the running program, without a trailing separator.
std::wstring programFolder()
{
    const std::wstring program = moduleFileName(nullptr);
    const std::size_t separator = program.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : program.substr(0, separator);
}

// The system's own words for an error, without the line break it ends with.
std::string systemReason(DWORD error)
{
    wchar_t text[512];
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, text, static_cast<DWORD>(std::size(text)), nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n'))
        --length;
    char code[32];
    std::snprintf(code, sizeof code, "error %lu", static_cast<unsigned long>(error));
    if (length == 0)
        return code;
    return utf8(std::wstring(text, length)) + " (" + code + ")";
}

// The machine a DLL is built for, from its PE header; 0 if unreadable.
WORD machineOf(const std::wstring &file)
{
    std::ifstream in(file.c_str(), std::ios::binary);
    IMAGE_DOS_HEADER dos {};
    if (!in.read(reinterpret_cast<char *>(&dos), sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header {};
    if (!in.seekg(dos.e_lfanew) || !in.read(reinterpret_cast<char *>(&signature), sizeof signature)
        || signature != IMAGE_NT_SIGNATURE
        || !in.read(reinterpret_cast<char *>(&header), sizeof header))
        return 0;
    return header.Machine;
}

#if defined(_WIN64)
constexpr WORD OtherMachine = IMAGE_FILE_MACHINE_I386;
constexpr const char *OtherBitness = "32-bit";
constexpr const char *OwnBitness = "64-bit";
constexpr const char *OtherSetup = "win32";
#else
constexpr WORD OtherMachine = IMAGE_FILE_MACHINE_AMD64;
constexpr const char *OtherBitness = "64-bit";
constexpr const char *OwnBitness = "32-bit";
constexpr const char *OtherSetup = "win64";
#endif

// The file the loader took: the one beside the program, or else System32's
// (for a 32-bit program on 64-bit Windows, reading it there is redirected
// to the 32-bit system folder, as the loader's search is).
std::wstring triedFile(const std::wstring &folder, const std::wstring &fileName)
{
    const std::wstring besideProgram = folder + L'\\' + fileName;
    if (::GetFileAttributesW(besideProgram.c_str()) != INVALID_FILE_ATTRIBUTES)
        return besideProgram;
    wchar_t system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system, length < MAX_PATH ? length : 0) + L'\\' + fileName;
}

std::string loadFailure(const std::string &fileName, DWORD error)
{
    const std::wstring folder = programFolder();
    // A damaged file gives the same error as one of the other bitness, which
    // a process can never load: the file's header tells them apart.
    const std::wstring file = triedFile(folder, wide(fileName));
    if (error == ERROR_BAD_EXE_FORMAT && machineOf(file) == OtherMachine)
        return "The drawer library " + utf8(file) + " is a " + OtherBitness
            + " library, and this is the " + OwnBitness + " program, which cannot load it. Use the "
            + OtherBitness + " build of Kestrin Cash Drawer USB Controller (kestrin-drawer-"
            + KESTRIN_WINDOWS_VERSION + "-" + OtherSetup + "-setup.exe), or the vendor's "
            + OwnBitness + " library.";
    std::string reason = systemReason(error);
    // Some of the system's texts name the file as "%1".
    if (const std::size_t insert = reason.find("%1"); insert != std::string::npos)
        reason.replace(insert, 2, fileName);
    return "Cannot load the drawer library " + fileName + " from the program's folder "
        + utf8(folder) + " or from System32: " + reason;
}

} // namespace

VendorDrawerLibrary::VendorDrawerLibrary(std::string fileName) : m_fileName(std::move(fileName)) { }

std::string VendorDrawerLibrary::defaultFileName()
{
    return "KestrinPOS_USB.dll";
}

void VendorDrawerLibrary::load()
{
    // Only the program's own folder and System32: see the header.
    HMODULE module = ::LoadLibraryExW(wide(m_fileName).c_str(), nullptr,
        LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module)
        throw DrawerLibraryError(loadFailure(m_fileName, ::GetLastError()));
    m_module = module;
    m_loadedFrom = utf8(moduleFileName(module));
}

VendorDrawerLibrary::Symbol VendorDrawerLibrary::resolve(const char *name)
{
    if (!m_module)
        load();
    const FARPROC function = ::GetProcAddress(static_cast<HMODULE>(m_module), name);
    if (!function)
        throw DrawerLibraryError("The drawer library " + m_loadedFrom + " has no function named "
            + name + ": " + systemReason(::GetLastError()));
    return reinterpret_cast<Symbol>(function);
}
