// What only the Windows setup tool needs: whether it runs elevated, and the
// text conversions and system messages of the drawer library.
#pragma once

#include "config/text_win32.h"
#include "setup.h"

namespace drawerdriver::setup {

// Whether the tool runs as an elevated administrator.
bool isElevated();

} // namespace drawerdriver::setup
