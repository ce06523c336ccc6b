// Threads the library starts for itself (backgroundThread), made as each
// platform needs them.
#pragma once

#if defined(_WIN32)
#include "config/background_win32.h"
#else
#include "config/background_posix.h"
#endif
