#include "global.h"

namespace Global {

std::uint8_t DrawerNumber = 0;

} // namespace Global
