// Recordings of the real program that fail: a source asked for only at a resume,
// a microphone that goes away, a file that reaches the file-size limit, a setting
// the encoder cannot use. Each ends within seconds with its "error" event, leaves
// no empty file and files that ffprobe reads to the end.

#include "recording_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace recording_test;

namespace {

using Clock = std::chrono::steady_clock;

class FailureProcess : public RecordingProcess {
protected:
    // ffprobe reads every frame of the file; gives the frames (or audio frames) read.
    static int framesReadToTheEnd(const std::string& path) {
        auto probed = probe(path);
        if (!probed.is_object() || !probed.contains("streams") || probed["streams"].empty()) return -1;
        return std::stoi(probed["streams"][0].value("nb_read_frames", "0"));
    }
    // The error events seen so far.
    static std::vector<json> errors(const Recorder& recorder) {
        std::vector<json> found;
        for (const auto& event : recorder.seen) {
            if (event.is_object() && event.value("event", "") == "error") found.push_back(event);
        }
        return found;
    }
};

std::string pactl(const std::vector<std::string>& arguments) {
    auto result = test_support::runToCompletion(PACTL_EXECUTABLE, arguments);
    std::string out = result.standardOutput;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

TEST_F(FailureProcess, SystemAudioAskedForOnlyAtAResumeIsRefusedAtOnceAndTheResumeCanBeRetried) {
    Animation animation;
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    recorder.send("start " + request({{"outputPath", file("screen-1.mp4")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    std::this_thread::sleep_for(1s);
    recorder.send("pause");
    ASSERT_TRUE(recorder.waitFor("paused"));

    const auto asked = Clock::now();
    recorder.send("resume " + request({{"outputPath", file("screen-2.mp4")},
                                       {"systemAudio", true},
                                       {"sysOutputPath", file("system-2.m4a")}}));
    // The refusal needs no sample: it comes at once, far within the five seconds allowed.
    auto refused = recorder.waitFor("error", 5s);
    ASSERT_TRUE(refused);
    EXPECT_LT(Clock::now() - asked, 5s);
    EXPECT_EQ((*refused)["code"], "ERROR_RESUME");
    EXPECT_NE((*refused)["message"].get<std::string>().find("systemAudio"), std::string::npos) << *refused;
    EXPECT_FALSE(std::filesystem::exists(file("screen-2.mp4")));
    EXPECT_FALSE(std::filesystem::exists(file("system-2.m4a")));

    // The same destination is free for the retry.
    recorder.send("resume " + request({{"outputPath", file("screen-2.mp4")}}));
    ASSERT_TRUE(recorder.waitFor("resumed", 5s));
    std::this_thread::sleep_for(1s);
    recorder.send("stop");
    ASSERT_TRUE(recorder.waitFor("finish"));
    EXPECT_GT(framesReadToTheEnd(file("screen-1.mp4")), 0);
    EXPECT_GT(framesReadToTheEnd(file("screen-2.mp4")), 0);
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

TEST_F(FailureProcess, AMicrophoneThatGoesAwayIsReportedOnceAndTheFilesSoFarStayReadable) {
    // A microphone of its own, which the test can take away.
    const std::string module = pactl({"load-module", "module-remap-source",
                                      "master=devices_test_microphone_sink.monitor", "source_name=test_lost_microphone"});
    ASSERT_FALSE(module.empty());
    Animation animation;
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                      {"microphoneID", "test_lost_microphone"},
                                      {"micOutputPath", file("mic.m4a")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    std::this_thread::sleep_for(1500ms);
    const auto unplugged = Clock::now();
    pactl({"unload-module", module});

    auto lost = recorder.waitFor("error", 5s);
    ASSERT_TRUE(lost) << "the loss is not reported";
    EXPECT_LT(Clock::now() - unplugged, 5s);
    EXPECT_EQ((*lost)["code"], "RECORDING_ERROR");
    EXPECT_NE((*lost)["message"].get<std::string>().find("test_lost_microphone"), std::string::npos) << *lost;
    // Nothing more is told about it, and the recording is over.
    recorder.send("stop");
    auto answer = recorder.waitFor("error", 5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["code"], "NO_RECORDING");
    EXPECT_EQ(errors(recorder).size(), 2u);

    // The files were finished before the error was told: they read to the end, and the
    // microphone file holds what the microphone gave until it went (not a moved stream's silence).
    EXPECT_GT(framesReadToTheEnd(file("screen.mp4")), 0);
    EXPECT_GT(framesReadToTheEnd(file("mic.m4a")), 0);
    auto microphone = probe(file("mic.m4a"), false);
    ASSERT_TRUE(microphone.is_object());
    EXPECT_NEAR(durationOf(microphone), 1.5, 0.6);
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

TEST_F(FailureProcess, ASoundServerThatGoesAwayIsToldOnceThoughBothItsSourcesStop) {
    // A sound server of its own for this recording (the suite's goes on serving the others).
    test_support::PrivatePulseServer own(/*realTimeMicrophone=*/true);
    ASSERT_TRUE(own.started());
    Animation animation;
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                      {"microphoneID", test_support::PrivatePulseServer::kSineSource},
                                      {"micOutputPath", file("mic.m4a")},
                                      {"systemAudio", true},
                                      {"sysOutputPath", file("system.m4a")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    std::this_thread::sleep_for(1500ms);
    const auto gone = Clock::now();
    pactl({"exit"});

    auto lost = recorder.waitFor("error", 5s);
    ASSERT_TRUE(lost) << "the loss is not reported";
    EXPECT_LT(Clock::now() - gone, 5s);
    EXPECT_EQ((*lost)["code"], "RECORDING_ERROR");
    recorder.send("stop");
    auto answer = recorder.waitFor("error", 5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["code"], "NO_RECORDING") << *answer;
    EXPECT_EQ(errors(recorder).size(), 2u) << "the microphone and the system audio were both told";
    for (const char* name : {"screen.mp4", "mic.m4a", "system.m4a"}) EXPECT_GT(framesReadToTheEnd(file(name)), 0) << name;
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

TEST_F(FailureProcess, AFileAtTheFileSizeLimitFailsWithItsNameAndStaysReadableWhileTheOthersFinish) {
    Animation animation;
    // 320 KiB for each file: the screen reaches it within seconds, the silent system audio never.
    Recorder recorder(PRLIMIT_EXECUTABLE, {"--fsize=" + std::to_string(320 * 1024), TAVRIK_BINARY});
    ASSERT_TRUE(recorder.ready());
    recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                      {"systemAudio", true},
                                      {"sysOutputPath", file("system.m4a")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    auto full = recorder.waitFor("error", 30s);
    ASSERT_TRUE(full) << "the failed writer is not reported";
    EXPECT_EQ((*full)["code"], "RECORDING_ERROR");
    const std::string message = (*full)["message"];
    EXPECT_NE(message.find(file("screen.mp4")), std::string::npos) << message;
    EXPECT_NE(message.find("File too large"), std::string::npos) << message;

    EXPECT_LE(std::filesystem::file_size(file("screen.mp4")), 320u * 1024);
    EXPECT_GT(framesReadToTheEnd(file("screen.mp4")), 10);
    EXPECT_GT(framesReadToTheEnd(file("system.m4a")), 0);
    // Both end where the screen file did, within one frame interval (an AAC frame is 21 ms).
    EXPECT_LE(endSpread({file("screen.mp4"), file("system.m4a")}),
              failedFilesEndAllowance(videoFrames(file("screen.mp4"))));
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

TEST_F(FailureProcess, AMicrophoneBitRateTheEncoderCannotUseRefusesTheStartAndLeavesNoFile) {
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    for (int bitRate : {-1, 1}) {
        SCOPED_TRACE(bitRate);
        recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                          {"microphoneID", test_support::PrivatePulseServer::kSineSource},
                                          {"micOutputPath", file("mic.m4a")},
                                          {"microphoneQuality", {{"sampleRate", 48000}, {"bitRate", bitRate}}}}));
        auto refused = recorder.waitFor("error", 5s);
        ASSERT_TRUE(refused);
        // The engine's error first, then the start's refusal.
        if ((*refused)["code"] == "RECORDING_ERROR") {
            EXPECT_EQ((*refused)["message"], "Could not start recording: Could not add microphone input.");
            refused = recorder.waitFor("error", 5s);
            ASSERT_TRUE(refused);
        }
        EXPECT_EQ((*refused)["code"], "ERROR_STARTING");
        EXPECT_FALSE(std::filesystem::exists(file("screen.mp4")));
        EXPECT_FALSE(std::filesystem::exists(file("mic.m4a")));
    }
    // The same files can be recorded at once.
    Animation animation;
    recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                      {"microphoneID", test_support::PrivatePulseServer::kSineSource},
                                      {"micOutputPath", file("mic.m4a")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    std::this_thread::sleep_for(1s);
    recorder.send("stop");
    ASSERT_TRUE(recorder.waitFor("finish"));
    EXPECT_GT(framesReadToTheEnd(file("mic.m4a")), 0);
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

} // namespace
