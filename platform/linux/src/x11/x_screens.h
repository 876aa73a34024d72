#pragma once

#include "platform/screens.h"

#include <memory>

namespace platform::linux_backend {

// Screens of the X server's RandR monitors. Each call opens its own connection.
std::shared_ptr<ScreenService> makeXScreens();

} // namespace platform::linux_backend
