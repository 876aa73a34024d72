#pragma once
// Scripted displays, windows and screens. Fetches filter the scripted windows by
// the options as the real window system does, and every fetch is recorded.

#include "platform/error.h"
#include "platform/platform.h"
#include "platform/screens.h"
#include "platform/shareable_content.h"

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
    void setDisplays(std::vector<Display> displays);
    void setWindows(std::vector<FakeWindow> windows);
    // Every later fetch fails with this error, until clearFailure().
    void failWith(PlatformError error);
    void clearFailure();
    // The options of every fetch so far, in order.
    std::vector<ShareableContentOptions> fetches() const;

    ShareableContent current(const ShareableContentOptions& options) override;

private:
    mutable std::mutex mutex_;  // guards every member below
    std::vector<Display> displays_;
    std::vector<FakeWindow> windows_;
    std::optional<PlatformError> failure_;
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
void installFakeListing(Platform& platform);

} // namespace platform::fake
