# 32-bit Windows, the vendor's drawer library's own platform:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KESTRIN_MINGW_TRIPLE i686-w64-mingw32)
set(KESTRIN_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
