// A long recording with microphone and system audio: the audio files and the
// video stay aligned, their durations within one frame interval of each other.

#include "RecordingSupport.h"

using namespace recording_test;

TEST_F(RecordingProcess, FiveMinutesOfAudioAndVideoStayWithinOneFrameInterval) {
    constexpr double kFramesPerSecond = 30;
    Animation animation;
    Recorder recorder;
    recorder.send("start " + request({{"outputPath", file("long.mp4")},
                                      {"fps", int(kFramesPerSecond)},
                                      {"systemAudio", true},
                                      {"sysOutputPath", file("long-system.m4a")},
                                      {"microphoneID", devices_test::PrivatePulseServer::kSineSource},
                                      {"micOutputPath", file("long-mic.m4a")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    std::this_thread::sleep_for(std::chrono::minutes(5));
    recorder.send("stop");
    auto finish = recorder.waitFor("finish", 60s);
    ASSERT_TRUE(finish);

    // The video's duration runs to the end of its last frame; the audio's to the end of its last sample.
    double video = durationOf(probe(file("long.mp4"), /*countFrames=*/false));
    EXPECT_NEAR(video, 300, 2);
    for (const char* name : {"long-system.m4a", "long-mic.m4a"}) {
        double audio = durationOf(probe(file(name), /*countFrames=*/false));
        EXPECT_NEAR(audio, video, 1 / kFramesPerSecond) << name;
    }
    // The reported durations are measured when the stop begins, before the audio still
    // in the sound server has arrived, so they may fall short of the files by that much.
    auto durations = (*finish)["message"];
    for (const char* key : {"mic", "sys"}) {
        EXPECT_NEAR(durations[key].get<double>(), durations["screen"].get<double>(), 2 * 1000 / kFramesPerSecond)
            << key;
    }
}
