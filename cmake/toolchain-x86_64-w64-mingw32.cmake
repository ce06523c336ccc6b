# 64-bit Windows, for a vendor who ships a 64-bit drawer library:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KESTRIN_MINGW_TRIPLE x86_64-w64-mingw32)
set(KESTRIN_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
