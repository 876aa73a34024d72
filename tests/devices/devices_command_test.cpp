// The "devices" command over the fake backend: its word table, its event, its
// failure answer, and how both modes hand it their words.

#include "captured_output.h"
#include "fixed_lines.h"
#include "fake_listing_fixture.h"

#include "Tavrik/DevicesCommand.h"
#include "Tavrik/InteractiveMode.h"
#include "Tavrik/LineSource.h"
#include "Tavrik/Tavrik.h"

#include <set>

namespace {

using namespace devices_test;
using platform::CaptureDeviceType;
using platform::fake::FakeOperation;
using platform::MediaType;
using tavrik::Json;

std::set<std::string> dataMembers(const Json& event) {
    std::set<std::string> members;
    for (const auto& [key, value] : event.items()) {
        if (key != "event" && key != "timestamp") members.insert(key);
    }
    return members;
}

class DevicesCommand : public FakeListing {
protected:
    void SetUp() override {
        FakeListing::SetUp();
        tavrik::setOutput(output_);
        content().setDisplays({{1, 1440, 900, {{0, 0}, {1440, 900}}}});
        screens().setScreens({{1, "Built-in Display", {{0, 0}, {1440, 900}}, {{0, 25}, {1440, 875}}}});
        content().setWindows({{window(10, "Editor")}, {window(11, std::nullopt)}, {window(12, "Hidden", false)}});
        devices().setDevices({device("mic-1", "Microphone", CaptureDeviceType::microphone, MediaType::audio),
                              device("cam-1", "Camera", CaptureDeviceType::builtInWideAngleCamera, MediaType::video)});
    }
    void TearDown() override {
        tavrik::setOutput(nullptr);
        FakeListing::TearDown();
    }

    std::shared_ptr<test_support::CapturedOutput> output_ = std::make_shared<test_support::CapturedOutput>();
};

const std::set<std::string> kMicrophonesAndCameras = {"audios", "webcams"};

TEST_F(DevicesCommand, EachWordListsItsKindAndAnyOtherWordListsMicrophonesAndCameras) {
    struct Case {
        std::string word;
        std::set<std::string> members;
    };
    for (const auto& [word, members] : std::vector<Case>{{"screens", {"screens"}},
                                                         {"windows", {"windows"}},
                                                         {"audios", {"audios"}},
                                                         {"webcams", {"webcams"}},
                                                         {"", kMicrophonesAndCameras},
                                                         {"mic", kMicrophonesAndCameras},
                                                         {"screen", kMicrophonesAndCameras},
                                                         {"Screens", kMicrophonesAndCameras}}) {
        size_t before = output_->lines().size();
        tavrik::listDevices(platform::installed(), word);
        auto events = output_->events();
        ASSERT_EQ(events.size(), before + 1) << word;
        const Json& event = events.back();
        EXPECT_EQ(event.value("event", ""), "devices") << word;
        EXPECT_TRUE(event.at("timestamp").is_number_float()) << word;
        EXPECT_EQ(dataMembers(event), members) << word;
    }
}

TEST_F(DevicesCommand, ListsTravelAsPrettySortedJsonTextOnOneLine) {
    tavrik::listDevices(platform::installed(), "screens");
    tavrik::listDevices(platform::installed(), "windows");
    tavrik::listDevices(platform::installed(), "");
    auto lines = output_->lines();
    auto events = output_->events();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_NE(line.find("\\n"), std::string::npos);
    }

    const std::string screensText = events[0].at("screens").get<std::string>();
    EXPECT_EQ(Json::parse(screensText),
              Json::parse(R"([{"frame":[[0,0],[1440,900]],"height":900,"id":"1","name":"Built-in Display","width":1440}])"));
    EXPECT_NE(screensText.find('\n'), std::string::npos);
    size_t position = 0;
    for (const char* key : {"\"frame\"", "\"height\"", "\"id\"", "\"name\"", "\"width\""}) {
        size_t found = screensText.find(key);
        ASSERT_NE(found, std::string::npos) << key;
        EXPECT_GT(found, position) << key;
        position = found;
    }

    // "windows" asks for on-screen, non-desktop windows: untitled ones included, without a "title" key.
    Json windows = Json::parse(events[1].at("windows").get<std::string>());
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0].at("title"), "Editor");
    EXPECT_FALSE(windows[1].contains("title"));
    EXPECT_TRUE(content().fetches().back().excludingDesktopWindows);
    EXPECT_TRUE(content().fetches().back().onScreenWindowsOnly);

    EXPECT_EQ(Json::parse(events[2].at("audios").get<std::string>()), Json::parse(R"([{"id":"mic-1","name":"Microphone"}])"));
    EXPECT_EQ(Json::parse(events[2].at("webcams").get<std::string>()), Json::parse(R"([{"id":"cam-1","name":"Camera"}])"));
}

TEST_F(DevicesCommand, EmptyListsAndListsThatCannotBeWrittenAreEmptyArrays) {
    devices().setDevices({device("mic-\xff", "Broken \xc3", CaptureDeviceType::microphone, MediaType::audio)});
    content().setDisplays({});
    tavrik::listDevices(platform::installed(), "");
    tavrik::listDevices(platform::installed(), "screens");
    auto events = output_->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].at("audios"), "[]");
    EXPECT_EQ(events[0].at("webcams"), "[]");
    EXPECT_EQ(events[1].at("screens"), "[]");
}

TEST_F(DevicesCommand, AFailedContentQueryAnswersDevicesErrorAndMicrophonesStillList) {
    content().failures().failAlways(FakeOperation::shareableContentFetch, platform::fake::userDeclinedError());
    for (const char* word : {"screens", "windows"}) {
        size_t before = output_->lines().size();
        tavrik::listDevices(platform::installed(), word);
        auto events = output_->events();
        ASSERT_EQ(events.size(), before + 1) << word;
        EXPECT_EQ(events.back().value("event", ""), "error");
        EXPECT_EQ(events.back().value("code", ""), "DEVICES_ERROR");
        EXPECT_EQ(events.back().value("message", ""), platform::fake::userDeclinedError().localizedDescription());
    }
    tavrik::listDevices(platform::installed(), "audios");
    auto last = output_->events().back();
    EXPECT_EQ(last.value("event", ""), "devices");
    EXPECT_EQ(Json::parse(last.at("audios").get<std::string>()).size(), 1u);
}

TEST_F(DevicesCommand, InteractiveModeLowerCasesTheArgument) {
    test_support::FixedLines input({"devices SCREENS", "DEVICES", "devices Windows", "devices mic", "devices WEBCAMS", "quit"});
    tavrik::InteractiveMode(input, platform::installed()).run();
    auto events = output_->events();
    ASSERT_EQ(events.size(), 7u);  // the banner, "ready", five answers
    EXPECT_EQ(events[1].value("event", ""), "ready");
    std::vector<std::set<std::string>> members;
    for (size_t i = 2; i < events.size(); ++i) {
        EXPECT_EQ(events[i].value("event", ""), "devices");
        members.push_back(dataMembers(events[i]));
    }
    EXPECT_EQ(members, (std::vector<std::set<std::string>>{
                           {"screens"}, kMicrophonesAndCameras, {"windows"}, kMicrophonesAndCameras, {"webcams"}}));
}

TEST_F(DevicesCommand, OneShotAnswersOnceWithoutBannerOrReady) {
    struct Case {
        std::string command;
        std::optional<std::string> subcommand;
        std::set<std::string> members;
    };
    for (const auto& [command, subcommand, members] : std::vector<Case>{{"DEVICES", "SCREENS", {"screens"}},
                                                                        {"Devices", "Audios", {"audios"}},
                                                                        {"devices", std::nullopt, kMicrophonesAndCameras},
                                                                        {"devices", "MIC", kMicrophonesAndCameras}}) {
        auto output = std::make_shared<test_support::CapturedOutput>();
        tavrik::setOutput(output);
        test_support::FixedLines input({"devices screens", "quit"});
        tavrik::Tavrik{command, subcommand, platform::installed()}.run(input);
        auto events = output->events();
        ASSERT_EQ(events.size(), 1u) << command;
        EXPECT_EQ(events[0].value("event", ""), "devices");
        EXPECT_EQ(dataMembers(events[0]), members) << command;
    }
}

} // namespace
