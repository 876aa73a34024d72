#include "platform/fake/fake_platform.h"
#include "platform/fake/fake_asset_writer.h"

namespace platform::fake {

std::shared_ptr<Platform> makeFakePlatform() { auto p = std::make_shared<Platform>(); p->assetWriters = std::make_shared<FakeAssetWriters>(); return p; }

} // namespace platform::fake
