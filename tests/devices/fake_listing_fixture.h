#pragma once
// A fresh fake platform per test, with helpers to script what it lists.

#include "platform/fake/fake_content.h"
#include "platform/fake/fake_devices.h"
#include "platform/fake/fake_platform.h"

#include <gtest/gtest.h>

namespace devices_test {

inline platform::CaptureDevice device(std::string id, std::string name, platform::CaptureDeviceType type,
                                      platform::MediaType media) {
    platform::CaptureDevice device;
    device.uniqueID = std::move(id);
    device.localizedName = std::move(name);
    device.deviceType = type;
    device.mediaTypes = {media};
    return device;
}

inline platform::Window window(uint32_t number, std::optional<std::string> title, bool onScreen = true) {
    platform::Window window;
    window.windowID = number;
    window.title = std::move(title);
    window.isOnScreen = onScreen;
    window.frame = {{10, 20}, {300, 200}};
    return window;
}

class FakeListing : public ::testing::Test {
protected:
    void SetUp() override { platform::install(platform_); }
    void TearDown() override { platform::install(nullptr); }

    platform::fake::FakeShareableContent& content() { return platform::fake::fakeContent(*platform_); }
    platform::fake::FakeScreens& screens() { return platform::fake::fakeScreens(*platform_); }
    platform::fake::FakeCaptureDevices& devices() { return platform::fake::fakeDevices(*platform_); }
    platform::Capabilities& capabilities() { return platform_->capabilities; }

    std::shared_ptr<platform::Platform> platform_ = platform::fake::makeFakePlatform();
};

} // namespace devices_test
