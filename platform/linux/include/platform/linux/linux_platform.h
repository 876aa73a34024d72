#pragma once
// The real backend: the Linux implementation of every platform concern.

#include "platform/platform.h"

#include <memory>

namespace platform::linux_backend {

// Assembles the Linux services. Nothing is opened until a service is used.
std::shared_ptr<Platform> makeLinuxPlatform();

} // namespace platform::linux_backend
