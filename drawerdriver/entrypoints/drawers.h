// What the library's entry points answer from: on POSIX the drawer service
// when it runs, else the library's own monitors (DrawerSource); on Windows,
// which has no drawer service, the library's own monitors (DrawerBank).
#pragma once

#if defined(_WIN32)
#include "monitor/drawerbank.h"
#else
#include "client/drawersource.h"
#endif

namespace drawerdriver {

#if defined(_WIN32)
using LibraryDrawers = DrawerBank;
#else
using LibraryDrawers = DrawerSource;
#endif

// Made at the first call and never destroyed: monitor threads call into
// it until they end.
LibraryDrawers &libraryDrawers();

} // namespace drawerdriver
