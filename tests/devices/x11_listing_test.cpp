// Displays, screens and windows of the Linux backend on a private X server, with
// and without a window manager, and the answer when no X server can be reached.

#include "captured_output.h"
#include "eventually.h"
#include "private_servers.h"
#include "temporary_directory.h"
#include "x_test_client.h"

#include "Dovezode/Devices.h"
#include "Tavrik/DevicesCommand.h"

#include "platform/error.h"
#include "platform/linux/linux_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {

using namespace test_support;
namespace Devices = Dovezode::Devices;

class X11Listing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.started()) << "the private X server did not start";
        client_.emplace();
        ASSERT_TRUE(client_->connected());
        platform::install(platform::linux_backend::makeLinuxPlatform());
    }
    void TearDown() override {
        platform::install(nullptr);
        client_.reset();
    }

    // The listed windows that this test made, by number.
    std::map<xcb_window_t, Devices::Window> ours(const std::vector<Devices::Window>& listed) const {
        std::map<xcb_window_t, Devices::Window> found;
        for (const auto& window : listed) {
            auto number = xcb_window_t(std::stoul(window.id));
            if (std::find(made_.begin(), made_.end(), number) != made_.end()) found.emplace(number, window);
        }
        return found;
    }
    // The positions of the test's windows in a listing, front first.
    std::vector<xcb_window_t> order(const std::vector<Devices::Window>& listed) const {
        std::vector<xcb_window_t> numbers;
        for (const auto& window : listed) {
            auto number = xcb_window_t(std::stoul(window.id));
            if (std::find(made_.begin(), made_.end(), number) != made_.end()) numbers.push_back(number);
        }
        return numbers;
    }
    xcb_window_t make(const NewWindow& wanted) {
        made_.push_back(client_->createWindow(wanted));
        return made_.back();
    }

    PrivateXServer server_;
    std::optional<XTestClient> client_;
    std::vector<xcb_window_t> made_;
};

TEST_F(X11Listing, TwoRandrMonitorsAreTwoDisplaysNamedByTheirScreens) {
    uint32_t output = client_->firstOutput();
    auto single = Devices::screen(platform::installed());
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0], (Devices::Screen{std::to_string(output), "screen", 1920, 1080, {{0, 0}, {1920, 1080}}}));

    client_->setMonitor({"LEFT", true, 0, 0, 960, 1080});
    client_->setMonitor({"RIGHT", false, 960, 0, 960, 1080});
    std::string rightNumber = std::to_string(client_->atom("RIGHT"));
    std::map<std::string, Devices::Screen> byId;
    for (const auto& screen : Devices::screen(platform::installed())) byId.emplace(screen.id, screen);
    ASSERT_EQ(byId.size(), 2u);
    ASSERT_TRUE(byId.count(std::to_string(output)));
    ASSERT_TRUE(byId.count(rightNumber));
    EXPECT_EQ(byId[std::to_string(output)], (Devices::Screen{std::to_string(output), "screen", 960, 1080, {{0, 0}, {960, 1080}}}));
    EXPECT_EQ(byId[rightNumber], (Devices::Screen{rightNumber, "RIGHT", 960, 1080, {{960, 0}, {960, 1080}}}));

    client_->setEdidProductName(output, "Test Panel");
    for (const auto& screen : Devices::screen(platform::installed())) {
        if (screen.id == std::to_string(output)) {
            EXPECT_EQ(screen.name, "Test Panel");
        }
    }

    client_->setPrimaryOutput(output);
    EXPECT_EQ(platform::installed().screens->mainDisplayNumber(), output);
    auto mode = platform::installed().screens->currentMode(output);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->pixelWidth, 960);
    EXPECT_EQ(mode->width, 960);
    EXPECT_TRUE(Dovezode::hasPermissions(platform::installed()));
}

TEST_F(X11Listing, TheVisibleFrameIsTheWorkAreaWithinEachScreen) {
    client_->setMonitor({"LEFT", true, 0, 0, 960, 1080});
    client_->setMonitor({"RIGHT", false, 960, 0, 960, 1080});
    client_->setWorkArea(0, 40, 1920, 1040);
    std::map<std::string, platform::Screen> byName;
    for (const auto& screen : platform::installed().screens->screens()) byName.emplace(screen.localizedName, screen);
    ASSERT_EQ(byName.size(), 2u);
    EXPECT_EQ(byName["screen"].frame, (platform::Rect{{0, 0}, {960, 1080}}));
    EXPECT_EQ(byName["screen"].visibleFrame, (platform::Rect{{0, 40}, {960, 1040}}));
    EXPECT_EQ(byName["RIGHT"].visibleFrame, (platform::Rect{{960, 40}, {960, 1040}}));
}

TEST_F(X11Listing, WithoutAWindowManagerTheMappedChildrenOfTheRootAreListed) {
    auto titled = make({.utf8Title = "Notes — ünïcode", .windowClass = {{"notes", "Notes"}}, .withProcessID = true});
    auto untitled = make({.x = 400, .y = 300, .width = 120, .height = 80});
    auto emptyTitle = make({.utf8Title = ""});
    auto legacy = make({.legacyTitle = "Caf\xe9"});
    auto unmapped = make({.utf8Title = "Never shown", .map = false});
    client_->setInputFocus(titled);

    auto listed = Devices::window(platform::installed(), true, true);
    auto found = ours(listed);
    ASSERT_EQ(found.size(), 4u);
    // Front to back: later windows stack above earlier ones.
    EXPECT_EQ(order(listed), (std::vector<xcb_window_t>{legacy, emptyTitle, untitled, titled}));

    const auto& notes = found[titled];
    EXPECT_EQ(notes.title, "Notes — ünïcode");
    EXPECT_EQ(notes.appName, "Notes");
    EXPECT_EQ(notes.appBundleIdentifier, "notes");
    EXPECT_TRUE(notes.isActive);
    EXPECT_TRUE(notes.isOnScreen);
    EXPECT_EQ(notes.layer, 0);
    EXPECT_EQ(notes.frame, (platform::Rect{{10, 20}, {300, 200}}));

    EXPECT_FALSE(found[untitled].title);
    EXPECT_FALSE(found[untitled].appName);
    EXPECT_FALSE(found[untitled].isActive);
    EXPECT_EQ(found[untitled].frame, (platform::Rect{{400, 300}, {120, 80}}));
    EXPECT_EQ(found[emptyTitle].title, "");
    EXPECT_EQ(found[legacy].title, "Café");

    EXPECT_FALSE(ours(Devices::window(platform::installed(), false, false)).count(unmapped));

    // The same windows through the "devices" command: no "title" key for the untitled one.
    auto output = std::make_shared<test_support::CapturedOutput>();
    tavrik::setOutput(output);
    tavrik::listDevices(platform::installed(), "windows");
    tavrik::setOutput(nullptr);
    auto events = output->events();
    ASSERT_EQ(events.size(), 1u);
    auto windows = tavrik::Json::parse(events[0].at("windows").get<std::string>());
    bool sawUntitled = false;
    for (const auto& window : windows) {
        if (window.at("id") != std::to_string(untitled)) continue;
        sawUntitled = true;
        EXPECT_FALSE(window.contains("title"));
        EXPECT_EQ(window.at("frame"), tavrik::Json::parse("[[400,300],[120,80]]"));
    }
    EXPECT_TRUE(sawUntitled);
}

TEST_F(X11Listing, WithAWindowManagerItsClientsAreListedAndTheOptionsFilter) {
    ASSERT_TRUE(server_.startWindowManager()) << "openbox did not take over the screen";
    auto titled = make({.utf8Title = "Managed", .windowClass = {{"managed", "Managed"}}, .withProcessID = true});
    auto untitled = make({});
    auto emptyTitle = make({.utf8Title = ""});
    auto desktop = make({.utf8Title = "Desktop", .desktopType = true});
    auto above = make({.utf8Title = "Always on top", .above = true});
    auto iconic = make({.utf8Title = "Minimised", .startIconic = true});

    ASSERT_TRUE(eventually([&] { return ours(Devices::window(platform::installed(), false, false)).size() == 6; }))
        << "the window manager did not manage every window: " << [&] {
               std::string listed;
               for (const auto& [number, window] : ours(Devices::window(platform::installed(), false, false))) {
                   listed += window.title.value_or("(untitled)") + "; ";
               }
               return listed;
           }();
    ASSERT_TRUE(
        eventually([&] { return !ours(Devices::window(platform::installed(), false, false))[iconic].isOnScreen; }));

    auto everything = ours(Devices::window(platform::installed(), false, false));
    EXPECT_EQ(everything[desktop].layer, platform::kDesktopWindowLayer);
    EXPECT_EQ(everything[above].layer, platform::kFloatingWindowLayer);
    EXPECT_EQ(everything[titled].layer, 0);
    EXPECT_FALSE(everything[untitled].title);
    EXPECT_EQ(everything[emptyTitle].title, "");
    EXPECT_EQ(everything[titled].appName, "Managed");
    // The frame takes in the decorations the window manager draws around the client.
    EXPECT_GE(everything[titled].frame.size.width, 300);
    EXPECT_GT(everything[titled].frame.size.height, 200);

    auto shown = Devices::window(platform::installed(), true, true);
    auto visible = ours(shown);
    EXPECT_EQ(visible.size(), 4u);
    EXPECT_FALSE(visible.count(desktop));
    EXPECT_FALSE(visible.count(iconic));
    auto front = order(shown);
    EXPECT_EQ(front.front(), above) << "a window kept above is listed first";

    EXPECT_TRUE(ours(Devices::window(platform::installed(), false, true)).count(desktop));
    EXPECT_TRUE(ours(Devices::window(platform::installed(), true, false)).count(iconic));

    client_->requestActivation(titled);
    ASSERT_TRUE(eventually([&] { return ours(Devices::window(platform::installed(), true, true))[titled].isActive; }));
    int active = 0;
    for (const auto& [number, window] : ours(Devices::window(platform::installed(), true, true)))
        active += window.isActive ? 1 : 0;
    EXPECT_EQ(active, 1);
}

// The program alone on an X server (a virtual one, without a desktop): the server
// resets whenever the program's last connection closes and refuses connections
// while it does. Each listing opens and closes connections at once; a thousand in a
// row must all answer rightly.
TEST(X11ListingAlone, AThousandScreenListingsInARowAreAllRight) {
    PrivateXServer server(/*resetsWhenIdle=*/true);
    ASSERT_TRUE(server.started());
    platform::install(platform::linux_backend::makeLinuxPlatform());
    auto output = std::make_shared<test_support::CapturedOutput>();
    tavrik::setOutput(output);
    for (int i = 0; i < 1000; ++i) tavrik::listDevices(platform::installed(), "screens");
    tavrik::setOutput(nullptr);
    platform::install(nullptr);
    auto events = output->events();
    ASSERT_EQ(events.size(), 1000u);
    int wrong = 0;
    std::string example;
    for (const auto& event : events) {
        // The display's number is the server's; everything else is known.
        auto listed = tavrik::Json::parse(event.value("screens", "[]"), nullptr, false);
        bool right = event.value("event", "") == "devices" && listed.is_array() && listed.size() == 1 &&
                     listed[0].value("name", "") == "screen" && listed[0].value("width", 0) == 1920 &&
                     listed[0].value("height", 0) == 1080 && !listed[0].value("id", "").empty();
        if (!right && example.empty()) example = event.dump();
        wrong += !right;
    }
    EXPECT_EQ(wrong, 0) << "for instance " << example;
}

struct Unreachable {
    const char* name;
    std::optional<std::string> display;
    std::optional<std::string> waylandDisplay;
    std::vector<std::string> saying;
};

class X11Unreachable : public ::testing::TestWithParam<Unreachable> {};

TEST_P(X11Unreachable, ScreensAndWindowsFailSayingWhatIsMissing) {
    const auto& situation = GetParam();
    auto set = [](const char* name, const std::optional<std::string>& value) {
        if (value) setenv(name, value->c_str(), 1);
        else unsetenv(name);
    };
    set("DISPLAY", situation.display);
    set("WAYLAND_DISPLAY", situation.waylandDisplay);
    unsetenv("XDG_SESSION_TYPE");
    TemporaryDirectory nowhere;
    setenv("PULSE_SERVER", ("unix:" + nowhere.path() + "/none").c_str(), 1);
    platform::install(platform::linux_backend::makeLinuxPlatform());

    std::string description;
    for (auto list : {std::function<void()>([] { Devices::screen(platform::installed()); }),
                      std::function<void()>([] { Devices::window(platform::installed(), true, true); })}) {
        try {
            list();
            ADD_FAILURE() << "the listing did not fail";
        } catch (const platform::PlatformError& error) {
            EXPECT_EQ(error.domain(), platform::kStreamErrorDomain);
            EXPECT_NE(error.code(), platform::kStreamErrorUserDeclined);
            description = error.localizedDescription();
            for (const auto& words : situation.saying) EXPECT_NE(description.find(words), std::string::npos) << description;
        }
    }
    EXPECT_TRUE(platform::installed().screens->screens().empty());
    EXPECT_FALSE(Dovezode::hasPermissions(platform::installed()));

    auto output = std::make_shared<test_support::CapturedOutput>();
    tavrik::setOutput(output);
    tavrik::listDevices(platform::installed(), "screens");
    tavrik::listDevices(platform::installed(), "windows");
    tavrik::listDevices(platform::installed(), "audios");
    tavrik::setOutput(nullptr);
    auto events = output->events();
    ASSERT_EQ(events.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(events[i].value("event", ""), "error");
        EXPECT_EQ(events[i].value("code", ""), "DEVICES_ERROR");
        EXPECT_EQ(events[i].value("message", ""), description);
    }
    EXPECT_EQ(events[2].value("event", ""), "devices");
    EXPECT_EQ(events[2].value("audios", ""), "[]");
    platform::install(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    NoXServer, X11Unreachable,
    ::testing::Values(Unreachable{"NoDisplaySet", std::nullopt, std::nullopt, {"DISPLAY is not set"}},
                      Unreachable{"WaylandWithoutXWayland", std::nullopt, "wayland-0", {"Wayland", "XWayland"}},
                      Unreachable{"DisplayRefused", ":59999", std::nullopt, {"\":59999\""}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
