#pragma once
// The scripted backend for tests: the test decides what exists and what fails.

#include "platform/platform.h"

#include <memory>

namespace platform::fake {

std::shared_ptr<Platform> makeFakePlatform();

} // namespace platform::fake
