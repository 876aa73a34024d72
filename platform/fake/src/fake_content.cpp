#include "platform/fake/fake_content.h"

#include "platform/fake/fake_devices.h"

#include <stdexcept>

namespace platform::fake {

void FakeShareableContent::setDisplays(std::vector<Display> displays) {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
}

void FakeShareableContent::setWindows(std::vector<FakeWindow> windows) {
    std::lock_guard lock(mutex_);
    windows_ = std::move(windows);
}

std::vector<ShareableContentOptions> FakeShareableContent::fetches() const {
    std::lock_guard lock(mutex_);
    return fetches_;
}

ShareableContent FakeShareableContent::current(const ShareableContentOptions& options) {
    std::lock_guard lock(mutex_);
    fetches_.push_back(options);
    failures_->throwIfScripted(FakeOperation::shareableContentFetch);
    ShareableContent content;
    content.displays = displays_;
    for (const auto& scripted : windows_) {
        if (options.onScreenWindowsOnly && !scripted.window.isOnScreen) continue;
        if (options.excludingDesktopWindows && scripted.isDesktop) continue;
        content.windows.push_back(scripted.window);
    }
    return content;
}

PlatformError userDeclinedError() {
    return PlatformError(kStreamErrorDomain, kStreamErrorUserDeclined,
                         "The user declined TCCs for application, window, display capture");
}

void FakeScreens::setScreens(std::vector<Screen> screens) {
    std::lock_guard lock(mutex_);
    screens_ = std::move(screens);
}

void FakeScreens::setMainDisplayNumber(std::optional<uint32_t> number) {
    std::lock_guard lock(mutex_);
    mainDisplayNumber_ = number;
}

void FakeScreens::setMode(uint32_t displayNumber, DisplayMode mode) {
    std::lock_guard lock(mutex_);
    std::erase_if(modes_, [&](const auto& entry) { return entry.first == displayNumber; });
    modes_.emplace_back(displayNumber, mode);
}

int FakeScreens::screenReads() const {
    std::lock_guard lock(mutex_);
    return screenReads_;
}

std::vector<Screen> FakeScreens::screens() {
    std::lock_guard lock(mutex_);
    ++screenReads_;
    return screens_;
}

std::optional<uint32_t> FakeScreens::mainDisplayNumber() {
    std::lock_guard lock(mutex_);
    return mainDisplayNumber_;
}

std::optional<DisplayMode> FakeScreens::currentMode(uint32_t displayNumber) {
    std::lock_guard lock(mutex_);
    for (const auto& [number, mode] : modes_) {
        if (number == displayNumber) return mode;
    }
    return std::nullopt;
}

namespace {

template <class Fake, class Service>
Fake& scripted(const std::shared_ptr<Service>& service, const char* what) {
    auto* fake = dynamic_cast<Fake*>(service.get());
    if (!fake) throw std::logic_error(std::string("the platform has no fake ") + what);
    return *fake;
}

} // namespace

FakeShareableContent& fakeContent(Platform& platform) {
    return scripted<FakeShareableContent>(platform.shareableContent, "shareable content");
}

FakeScreens& fakeScreens(Platform& platform) { return scripted<FakeScreens>(platform.screens, "screens"); }

FakeCaptureDevices& fakeDevices(Platform& platform) {
    return scripted<FakeCaptureDevices>(platform.captureDevices, "capture devices");
}

void installFakeListing(Platform& platform, std::shared_ptr<FailureScript> failures) {
    platform.shareableContent = std::make_shared<FakeShareableContent>(std::move(failures));
    platform.screens = std::make_shared<FakeScreens>();
    platform.captureDevices = std::make_shared<FakeCaptureDevices>();
    platform.deviceNotifications = std::make_shared<FakeDeviceNotifications>();
}

FakeDeviceNotifications& fakeDeviceNotifications(Platform& platform) {
    return scripted<FakeDeviceNotifications>(platform.deviceNotifications, "device notifications");
}

} // namespace platform::fake
