#pragma once

#include "platform/shareable_content.h"

#include <memory>

namespace platform::linux_backend {

// Displays (RandR monitors) and windows (EWMH) of the X server. Each fetch opens
// its own connection, so a restarted server or a changed DISPLAY is seen at once.
std::shared_ptr<ShareableContentService> makeXShareableContent();

} // namespace platform::linux_backend
