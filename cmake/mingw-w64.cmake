# What both MinGW-w64 toolchain files share. The including file sets
# KESTRIN_MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) and
# KESTRIN_WINE_ARCH (the Wine prefix the programs run in: win32 or win64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# The -posix compilers: GCC's -win32 thread model has no std::thread or
# std::mutex, which the simulated drawer library uses.
set(CMAKE_C_COMPILER ${KESTRIN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRIN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRIN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRIN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 and later; the Unicode (W) forms of the API throughout; and
# windows.h without its rarely used parts, which halves what every file
# including it costs to compile.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")

# Everything linked statically: no exe or DLL built here needs a DLL of
# ours or of MinGW's (libstdc++, libgcc, libwinpthread) beside it, only
# the system's.
set(kestrin_static "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kestrin_static}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${kestrin_static}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${kestrin_static}")
unset(kestrin_static)

# ctest and add_custom_command run the programs built here under Wine, in a
# prefix of the test run's own, with a timeout.
get_filename_component(kestrin_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${kestrin_wine_run};--arch;${KESTRIN_WINE_ARCH}")
unset(kestrin_wine_run)
