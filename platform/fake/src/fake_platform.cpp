#include "platform/fake/fake_platform.h"

#include "platform/fake/fake_content.h"

namespace platform::fake {

std::shared_ptr<Platform> makeFakePlatform() {
    auto platform = std::make_shared<Platform>();
    installFakeListing(*platform);
    return platform;
}

} // namespace platform::fake
