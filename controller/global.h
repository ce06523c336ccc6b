#pragma once

#include <cstdint>

namespace Global {

// The drawer the window addresses: the index of the last drawer option button
// clicked, 0 for "Drawer #1" up to 7 for "Drawer #8".
extern std::uint8_t DrawerNumber;

} // namespace Global
