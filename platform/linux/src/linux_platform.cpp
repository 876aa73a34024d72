#include "platform/linux/linux_platform.h"

namespace platform::linux_backend {

std::shared_ptr<Platform> makeLinuxPlatform() {
    auto platform = std::make_shared<Platform>();
    return platform;
}

} // namespace platform::linux_backend
