#include "platform/fake/fake_platform.h"

#include "platform/fake/fake_asset_writer.h"
#include "platform/fake/fake_capture.h"
#include "platform/fake/fake_content.h"
#include "platform/fake/fake_preview_window.h"

namespace platform::fake {

FakePlatform::FakePlatform()
    : failures_(std::make_shared<FailureScript>()), platform_(std::make_shared<Platform>()) {
    // Each concern's fake service is created here with failures_, so that every
    // operation a test scripts there is read by the fake that performs it.
    installFakeListing(*platform_, failures_);
    platform_->assetWriters = std::make_shared<FakeAssetWriters>(failures_);
    installFakeCapture(*platform_, failures_, samples_);
    platform_->previewWindows = std::make_shared<FakePreviewWindows>(failures_);
    platform_->captureClock = [clock = samples_.clock()] { return clock->now(); };
}

FakePlatform::~FakePlatform() {
    try {
        samples_.waitUntilHandled();
    } catch (...) {
        // A handler's failure is the test's to see through waitUntilHandled(); not here.
    }
}

void FakePlatform::install() const { platform::install(platform_); }

std::shared_ptr<Platform> makeFakePlatform() { return FakePlatform().platform(); }

} // namespace platform::fake
