// The engine's listing over the fake backend: what it asks the platform and how
// it turns the answers into records.

#include "fake_listing_fixture.h"

#include "Dovezode/Devices.h"

#include "platform/error.h"

namespace {

using namespace devices_test;
using platform::CaptureDeviceType;
using platform::fake::FakeOperation;
using platform::MediaType;
namespace Devices = Dovezode::Devices;

class EngineListing : public FakeListing {};

TEST_F(EngineListing, DisplaysTakeTheNameOfTheFirstScreenWithTheirNumber) {
    content().setDisplays({{1, 1440, 900, {{0, 0}, {1440, 900}}},
                           {69733248, 1920, 1080, {{-1920, -180}, {1920, 1080}}},
                           {7, 800, 600, {{1440, 0}, {800, 600}}}});
    screens().setScreens({{std::nullopt, "Numberless", {}, {}},
                          {69733248, "DELL U2720Q", {}, {}},
                          {1, "Built-in Retina Display", {}, {}},
                          {1, "Second screen of display 1", {}, {}}});

    auto listed = Devices::screen(platform::installed());

    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0], (Devices::Screen{"1", "Built-in Retina Display", 1440, 900, {{0, 0}, {1440, 900}}}));
    EXPECT_EQ(listed[1], (Devices::Screen{"69733248", "DELL U2720Q", 1920, 1080, {{-1920, -180}, {1920, 1080}}}));
    EXPECT_EQ(listed[2], (Devices::Screen{"7", "Unknown Display", 800, 600, {{1440, 0}, {800, 600}}}));
    // The screen list is read anew for each display.
    EXPECT_EQ(screens().screenReads(), 3);
    // The displays come from a fetch without options.
    ASSERT_EQ(content().fetches().size(), 1u);
    EXPECT_FALSE(content().fetches()[0].excludingDesktopWindows);
    EXPECT_FALSE(content().fetches()[0].onScreenWindowsOnly);
}

TEST_F(EngineListing, NoDisplaysGiveAnEmptyList) { EXPECT_TRUE(Devices::screen(platform::installed()).empty()); }

TEST_F(EngineListing, AFailedFetchPassesThePlatformErrorThroughUnchanged) {
    content().failures().failAlways(FakeOperation::shareableContentFetch, platform::fake::userDeclinedError());
    for (auto list : {std::function<void()>([] { Devices::screen(platform::installed()); }),
                      std::function<void()>([] { Devices::window(platform::installed(), true, true); })}) {
        try {
            list();
            ADD_FAILURE() << "the listing did not fail";
        } catch (const platform::PlatformError& error) {
            EXPECT_EQ(error.domain(), platform::kStreamErrorDomain);
            EXPECT_EQ(error.code(), platform::kStreamErrorUserDeclined);
            EXPECT_EQ(error.localizedDescription(), platform::fake::userDeclinedError().localizedDescription());
        }
    }
    EXPECT_FALSE(Dovezode::hasPermissions(platform::installed()));
    content().failures().clear(FakeOperation::shareableContentFetch);
    EXPECT_TRUE(Dovezode::hasPermissions(platform::installed()));
}

TEST_F(EngineListing, WindowOptionsReachThePlatformUnchangedAndFilterAsNamed) {
    auto background = window(1, "Desktop");
    background.windowLayer = platform::kDesktopWindowLayer;
    auto minimised = window(2, "Minimised", false);
    auto untitled = window(3, std::nullopt);
    auto menu = window(4, "Menu");
    menu.windowLayer = 101;
    content().setWindows({{background, true}, {minimised, false}, {untitled, false}, {menu, false}});

    struct Case {
        bool excludeDesktop;
        bool onScreenOnly;
        std::vector<std::string> ids;
    };
    for (const auto& [excludeDesktop, onScreenOnly, ids] : std::vector<Case>{
             {true, true, {"3", "4"}}, {false, false, {"1", "2", "3", "4"}}, {true, false, {"2", "3", "4"}},
             {false, true, {"1", "3", "4"}}}) {
        std::vector<std::string> listed;
        for (const auto& record : Devices::window(platform::installed(), excludeDesktop, onScreenOnly))
            listed.push_back(record.id);
        EXPECT_EQ(listed, ids) << excludeDesktop << onScreenOnly;
        auto options = content().fetches().back();
        EXPECT_EQ(options.excludingDesktopWindows, excludeDesktop);
        EXPECT_EQ(options.onScreenWindowsOnly, onScreenOnly);
    }
}

TEST_F(EngineListing, WindowFieldsComeFromTheWindowAndItsApplication) {
    auto owned = window(4294967295u, "Notes — 1.txt");
    owned.owningApplication = platform::RunningApplication{"TextEdit", "com.apple.TextEdit", 412};
    owned.isActive = true;
    owned.windowLayer = 3;
    auto ownerless = window(5, "");
    content().setWindows({{owned}, {ownerless}});

    auto listed = Devices::window(platform::installed(), true, true);

    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].id, "4294967295");
    EXPECT_EQ(listed[0].title, "Notes — 1.txt");
    EXPECT_EQ(listed[0].appName, "TextEdit");
    EXPECT_EQ(listed[0].appBundleIdentifier, "com.apple.TextEdit");
    EXPECT_TRUE(listed[0].isActive);
    EXPECT_TRUE(listed[0].isOnScreen);
    EXPECT_EQ(listed[0].layer, 3);
    EXPECT_EQ(listed[0].frame, (platform::Rect{{10, 20}, {300, 200}}));
    EXPECT_EQ(listed[1].title, "");
    EXPECT_FALSE(listed[1].appName);
    EXPECT_FALSE(listed[1].appBundleIdentifier);
}

TEST_F(EngineListing, WithoutTheActiveFlagEveryWindowReadsInactive) {
    auto active = window(1, "Active");
    active.isActive = true;
    content().setWindows({{active}});
    capabilities().windowActiveFlag = false;
    EXPECT_FALSE(Devices::window(platform::installed(), true, true).at(0).isActive);
    capabilities().windowActiveFlag = true;
    EXPECT_TRUE(Devices::window(platform::installed(), true, true).at(0).isActive);
}

TEST_F(EngineListing, DeviceTypesFollowTheCapabilitySide) {
    struct Case {
        bool newer;
        std::vector<CaptureDeviceType> microphones;
        std::vector<CaptureDeviceType> cameras;
        std::vector<CaptureDeviceType> external;
    };
    for (const auto& expected : std::vector<Case>{
             {true,
              {CaptureDeviceType::microphone, CaptureDeviceType::external},
              {CaptureDeviceType::builtInWideAngleCamera, CaptureDeviceType::external, CaptureDeviceType::continuityCamera},
              {CaptureDeviceType::external}},
             {false,
              {CaptureDeviceType::builtInMicrophone, CaptureDeviceType::externalUnknown},
              {CaptureDeviceType::builtInWideAngleCamera, CaptureDeviceType::externalUnknown},
              {CaptureDeviceType::externalUnknown}}}) {
        capabilities().newerCaptureDeviceTypes = expected.newer;
        size_t before = devices().discoveries().size();
        Devices::audio(platform::installed());
        Devices::webcams(platform::installed());
        Devices::iOS(platform::installed());
        auto asked = devices().discoveries();
        ASSERT_EQ(asked.size(), before + 3);
        EXPECT_EQ(asked[before], (platform::fake::Discovery{expected.microphones, MediaType::audio}));
        EXPECT_EQ(asked[before + 1], (platform::fake::Discovery{expected.cameras, MediaType::video}));
        EXPECT_EQ(asked[before + 2], (platform::fake::Discovery{expected.external, std::nullopt}));
    }
}

TEST_F(EngineListing, DevicesAreListedInThePlatformOrderWithIdAndName) {
    devices().setDevices({
        device("BuiltInMicrophoneDevice", "MacBook Pro Microphone", CaptureDeviceType::microphone, MediaType::audio),
        device("FaceTime", "FaceTime HD Camera", CaptureDeviceType::builtInWideAngleCamera, MediaType::video),
        device("usb-mic", "USB Microphone", CaptureDeviceType::external, MediaType::audio),
        device("old-mic", "Old Microphone", CaptureDeviceType::builtInMicrophone, MediaType::audio),
        device("usb-cam", "USB Camera", CaptureDeviceType::external, MediaType::video),
    });
    EXPECT_EQ(Devices::audio(platform::installed()),
              (std::vector<Devices::Audio>{{"BuiltInMicrophoneDevice", "MacBook Pro Microphone"},
                                           {"usb-mic", "USB Microphone"}}));
    EXPECT_EQ(Devices::webcams(platform::installed()),
              (std::vector<Devices::Webcam>{{"FaceTime", "FaceTime HD Camera"}, {"usb-cam", "USB Camera"}}));

    capabilities().newerCaptureDeviceTypes = false;
    EXPECT_EQ(Devices::audio(platform::installed()), (std::vector<Devices::Audio>{{"old-mic", "Old Microphone"}}));
    EXPECT_EQ(Devices::webcams(platform::installed()),
              (std::vector<Devices::Webcam>{{"FaceTime", "FaceTime HD Camera"}}));
}

TEST_F(EngineListing, ExternalDevicesAreRevealedFirstAndListedWhateverTheirMedia) {
    devices().setDevices({device("usb-mic", "USB Microphone", CaptureDeviceType::external, MediaType::audio),
                          device("FaceTime", "FaceTime HD Camera", CaptureDeviceType::builtInWideAngleCamera,
                                 MediaType::video)});
    devices().addScreenCaptureDevice(device("00008110-phone", "iPhone", CaptureDeviceType::external, MediaType::muxed));

    EXPECT_EQ(Devices::iOS(platform::installed()),
              (std::vector<Devices::IOS>{{"usb-mic", "USB Microphone"}, {"00008110-phone", "iPhone"}}));
    EXPECT_TRUE(devices().screenCaptureDevicesAllowed());
}

} // namespace
