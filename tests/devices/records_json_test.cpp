// The capture-source records as JSON, and their equality and hashing.

#include "Dovezode/Devices.h"

#include "Tavrik/JsonWriter.h"

#include <gtest/gtest.h>

namespace {

using Dovezode::Devices::Audio;
using Dovezode::Devices::Screen;
using Dovezode::Devices::Window;
using tavrik::Json;

Window untitledWindow() {
    Window window;
    window.id = "42";
    window.appName = "Editor";
    window.appBundleIdentifier = "org.example.editor";
    window.isOnScreen = true;
    window.layer = 0;
    window.frame = {{-1280.5, 0}, {640, 480.25}};
    return window;
}

TEST(DeviceRecordsJson, ScreenHasItsKeysAndAFrameOfTwoPairsWithoutFractions) {
    Screen screen{"1", "Built-in Display", 1440, 900, {{0, 0}, {1440, 900}}};
    auto text = tavrik::writeJson(Json(screen));
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"({"frame":[[0,0],[1440,900]],"height":900,"id":"1","name":"Built-in Display","width":1440})");
}

TEST(DeviceRecordsJson, AbsentOptionalsAreLeftOutAndAnEmptyTitleStays) {
    Window untitled = untitledWindow();
    Json json = untitled;
    EXPECT_FALSE(json.contains("title"));
    EXPECT_EQ(tavrik::writeJson(json).value(),
              R"({"appBundleIdentifier":"org.example.editor","appName":"Editor","frame":[[-1280.5,0],[640,480.25]],)"
              R"("id":"42","isActive":false,"isOnScreen":true,"layer":0})");

    Window emptyTitle = untitled;
    emptyTitle.title = "";
    EXPECT_EQ(Json(emptyTitle).at("title"), "");

    Window ownerless;
    ownerless.id = "7";
    Json bare = ownerless;
    for (const char* key : {"title", "appName", "appBundleIdentifier"}) EXPECT_FALSE(bare.contains(key)) << key;
    for (const auto& [key, value] : bare.items()) EXPECT_FALSE(value.is_null()) << key;
}

TEST(DeviceRecordsJson, OwnEncodingKeepsDeclarationOrder) {
    Window window = untitledWindow();
    window.title = "Notes";
    std::vector<std::string> keys;
    nlohmann::ordered_json ordered = window;
    for (const auto& [key, value] : ordered.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "title", "appName", "appBundleIdentifier", "isActive", "isOnScreen",
                                              "layer", "frame"}));
    keys.clear();
    nlohmann::ordered_json orderedScreen = Screen{"1", "A", 1, 2, {}};
    for (const auto& [key, value] : orderedScreen.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "name", "width", "height", "frame"}));
}

TEST(DeviceRecordsJson, DeviceRecordsHaveIdAndName) {
    EXPECT_EQ(tavrik::writeJson(Json(Audio{"alsa_input.usb", "USB Microphone"})).value(),
              R"({"id":"alsa_input.usb","name":"USB Microphone"})");
    EXPECT_EQ(tavrik::writeJson(Json(Dovezode::Devices::Webcam{"usb-cam", "Cam"})).value(),
              R"({"id":"usb-cam","name":"Cam"})");
}

TEST(DeviceRecordsIdentity, AbsentAndEmptyTitlesDifferInEqualityAndHash) {
    Window absent = untitledWindow();
    Window empty = absent;
    empty.title = "";
    EXPECT_NE(absent, empty);
    EXPECT_NE(std::hash<Window>{}(absent), std::hash<Window>{}(empty));

    Window same = absent;
    EXPECT_EQ(absent, same);
    EXPECT_EQ(std::hash<Window>{}(absent), std::hash<Window>{}(same));

    // A title moved into the next optional must not hash alike.
    Window titled;
    titled.title = "x";
    Window named;
    named.appName = "x";
    EXPECT_NE(std::hash<Window>{}(titled), std::hash<Window>{}(named));
}

} // namespace
