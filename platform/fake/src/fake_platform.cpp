#include "platform/fake/fake_platform.h"

namespace platform::fake {

std::shared_ptr<Platform> makeFakePlatform() { return std::make_shared<Platform>(); }

} // namespace platform::fake
