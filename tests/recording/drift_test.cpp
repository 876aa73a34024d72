// Recordings with microphone and system audio: the audio files and the video stay
// aligned, their durations within one frame interval of each other. The five-minute
// recording is a soak test (`make soak`); the half-minute one runs with every test
// and catches a misalignment that does not need minutes to show.

#include "recording_support.h"

#include <functional>

using namespace recording_test;

namespace {

constexpr double kFramesPerSecond = 30;

// Records the animated screen with system audio and the microphone for `length`,
// then compares the files' durations and the durations the finish event reports.
// The picture is a 640x360 corner of the screen: the alignment does not depend on its size,
// and a small picture keeps the encoder in real time on a busy machine, where the whole
// screen's would fall behind and drop the last frames before the stop.
void expectAlignedFiles(const std::function<std::string(const std::string&)>& file, std::chrono::seconds length) {
    Animation animation(640, 360);
    Recorder recorder;
    recorder.send("start " + request({{"outputPath", file("long.mp4")},
                                      {"fps", int(kFramesPerSecond)},
                                      {"cropRect", json::array({json::array({0, 0}), json::array({640, 360})})},
                                      {"systemAudio", true},
                                      {"sysOutputPath", file("long-system.m4a")},
                                      {"microphoneID", test_support::PrivatePulseServer::kSineSource},
                                      {"micOutputPath", file("long-mic.m4a")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    std::this_thread::sleep_for(length);  // the length of the recording, not a wait for an event
    recorder.send("stop");
    auto finish = recorder.waitFor("finish", 120s);
    ASSERT_TRUE(finish);

    // The video runs to the end of its last frame, about the recording's length.
    const double seconds = double(length.count());
    const double video = durationOf(probe(file("long.mp4"), /*countFrames=*/false));
    EXPECT_NEAR(video, seconds, 2);
    // The audio runs to the end of its last sample: from the start of the video's last
    // frame to one frame interval after it (see audioEndAllowance for a busy machine).
    const VideoFrames frames = videoFrames(file("long.mp4"));
    for (const char* name : {"long-system.m4a", "long-mic.m4a"}) {
        const double audio = durationOf(probe(file(name), /*countFrames=*/false));
        EXPECT_GE(audio, frames.lastStart - kAudioClockTolerance) << name << " ends before the video's last frame";
        EXPECT_LE(audio - frames.lastStart, audioEndAllowance(frames, kFramesPerSecond))
            << name << " ends " << audio << " s, the video's last frame starts " << frames.lastStart
            << " s, the longest gap between frames is " << frames.longestGap << " s; finish " << finish->dump();
    }
    // The reported durations are measured when the stop begins, from what was written by
    // then: the audio still in the sound server and the frame still on its way (one frame
    // interval) are not counted yet, so they may differ from the files' ends by that much.
    auto durations = (*finish)["message"];
    for (const char* key : {"mic", "sys"}) {
        EXPECT_NEAR(durations[key].get<double>(), durations["screen"].get<double>(),
                    1000 * (audioEndAllowance(frames, kFramesPerSecond) + 1 / kFramesPerSecond))
            << key << "; the longest gap between frames is " << frames.longestGap << " s";
    }
}

} // namespace

TEST_F(RecordingProcess, ThirtySecondsOfAudioAndVideoStayWithinOneFrameInterval) {
    expectAlignedFiles([this](const std::string& name) { return file(name); }, 30s);
}

TEST_F(RecordingProcess, FiveMinutesOfAudioAndVideoStayWithinOneFrameInterval) {
    expectAlignedFiles([this](const std::string& name) { return file(name); }, 5min);
}
