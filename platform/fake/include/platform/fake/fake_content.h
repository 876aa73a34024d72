#pragma once
// Scripted displays, windows and screens. Fetches filter the scripted windows by
// the options as the real window system does, and every fetch is recorded.
//
// Scripted operation (FailureScript): shareableContentFetch makes the fetch throw
// the scripted error, as the Linux listing does when the display server cannot be read.

#include "platform/error.h"
#include "platform/fake/failure_script.h"
#include "platform/platform.h"
#include "platform/screens.h"
#include "platform/shareable_content.h"

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform::fake {

struct FakeWindow {
    Window window;
    bool isDesktop = false;  // left out by excludingDesktopWindows
};

class FakeShareableContent final : public ShareableContentService {
public:
    explicit FakeShareableContent(std::shared_ptr<FailureScript> failures = std::make_shared<FailureScript>())
        : failures_(std::move(failures)) {}

    void setDisplays(std::vector<Display> displays);
    void setWindows(std::vector<FakeWindow> windows);
    // The failure script this fake reads (the platform's, for one made by FakePlatform).
    FailureScript& failures() { return *failures_; }
    // The options of every fetch so far, in order.
    std::vector<ShareableContentOptions> fetches() const;

    ShareableContent current(const ShareableContentOptions& options) override;

private:
    const std::shared_ptr<FailureScript> failures_;
    mutable std::mutex mutex_;  // guards every member below
    std::vector<Display> displays_;
    std::vector<FakeWindow> windows_;
    std::vector<ShareableContentOptions> fetches_;
};

// The error of a refused screen-capture permission.
PlatformError userDeclinedError();

class FakeScreens final : public ScreenService {
public:
    void setScreens(std::vector<Screen> screens);
    void setMainDisplayNumber(std::optional<uint32_t> number);
    void setMode(uint32_t displayNumber, DisplayMode mode);
    // How many times the screen list was read.
    int screenReads() const;

    std::vector<Screen> screens() override;
    std::optional<uint32_t> mainDisplayNumber() override;
    std::optional<DisplayMode> currentMode(uint32_t displayNumber) override;

private:
    mutable std::mutex mutex_;  // guards every member below
    std::vector<Screen> screens_;
    std::optional<uint32_t> mainDisplayNumber_;
    std::vector<std::pair<uint32_t, DisplayMode>> modes_;
    int screenReads_ = 0;
};

// The scripted services of a platform made by makeFakePlatform().
FakeShareableContent& fakeContent(Platform& platform);
FakeScreens& fakeScreens(Platform& platform);

// Fills the platform's shareable-content, screen and capture-device services with fakes.
void installFakeListing(Platform& platform, std::shared_ptr<FailureScript> failures);

} // namespace platform::fake
