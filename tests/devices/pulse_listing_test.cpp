// Microphones of the Linux backend under a private PulseAudio daemon, in process
// and through the real program.

#include "private_servers.h"
#include "temporary_directory.h"

#include "Dovezode/Devices.h"

#include "platform/linux/linux_platform.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

using test_support::PrivatePulseServer;

class PulseListing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pulse_.started()) << "the private PulseAudio daemon did not start";
        platform::install(platform::linux_backend::makeLinuxPlatform());
    }
    void TearDown() override { platform::install(nullptr); }

    PrivatePulseServer pulse_;
};

TEST_F(PulseListing, TheSineSourceIsAMicrophoneAndTheSinkMonitorIsNot) {
    auto microphones = Dovezode::Devices::audio(platform::installed());
    ASSERT_EQ(microphones.size(), 1u);
    EXPECT_EQ(microphones[0].id, PrivatePulseServer::kSineSource);
    EXPECT_FALSE(microphones[0].name.empty());

    auto device = platform::installed().captureDevices->device(PrivatePulseServer::kSineSource);
    ASSERT_TRUE(device);
    ASSERT_FALSE(device->formats.empty());
    EXPECT_EQ(device->formats[0].audioChannelCount, 1u);  // the sine source is mono
    EXPECT_FALSE(platform::installed().captureDevices->device(std::string(PrivatePulseServer::kNullSink) + ".monitor"));
}

TEST(PulseUnreachable, NoServerGivesNoMicrophones) {
    test_support::TemporaryDirectory nowhere;
    std::string address = "unix:" + nowhere.path() + "/no-such-socket";
    setenv("PULSE_SERVER", address.c_str(), 1);
    platform::install(platform::linux_backend::makeLinuxPlatform());
    EXPECT_TRUE(Dovezode::Devices::audio(platform::installed()).empty());
    platform::install(nullptr);
}

// Runs the program with the words and returns what it wrote to standard output.
std::string runTavrik(const std::string& words) {
    std::string command = std::string(TAVRIK_BINARY) + " " + words + " </dev/null 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    std::string output;
    char buffer[4096];
    while (size_t count = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, count);
    EXPECT_EQ(pclose(pipe), 0) << words;
    return output;
}

TEST_F(PulseListing, TheProgramAnswersOneDevicesLineAndExits) {
    struct Case {
        std::string words;
        std::vector<std::string> members;
    };
    for (const auto& [words, members] : std::vector<Case>{{"devices audios", {"audios"}}, {"DEVICES", {"audios", "webcams"}}}) {
        std::string output = runTavrik(words);
        ASSERT_FALSE(output.empty()) << words;
        ASSERT_EQ(output.back(), '\n') << words;
        ASSERT_EQ(output.find('\n'), output.size() - 1) << "one line only: " << output;
        auto event = nlohmann::json::parse(output);
        EXPECT_EQ(event.at("event"), "devices");
        for (const auto& member : members) ASSERT_TRUE(event.contains(member)) << words << " " << member;
        auto microphones = nlohmann::json::parse(event.at("audios").get<std::string>());
        ASSERT_EQ(microphones.size(), 1u);
        EXPECT_EQ(microphones[0].at("id"), PrivatePulseServer::kSineSource);
        if (event.contains("webcams")) {
            EXPECT_TRUE(event.at("webcams").is_string());
        }
    }
}

} // namespace
