// The real program records microphone and system audio on both sound servers Linux
// desktops run, the classic PulseAudio daemon and PipeWire's PulseAudio-compatible
// server: the microphone plays one tone and the speakers another, so a file that
// holds the wrong source's sound fails, and a steady tone shows every break in it.

#include "recording_support.h"
#include "test_sound_server.h"
#include "tone_analysis.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <thread>

using namespace recording_test;
using test_support::SoundServerKind;
using test_support::TestSoundServer;

namespace {

constexpr double kMicrophoneTone = 440;
constexpr double kSpeakersTone = 660;
constexpr double kToneAmplitude = 0.5;  // as TestSoundServer plays it

class SoundServers : public ::testing::TestWithParam<SoundServerKind> {
protected:
    static void SetUpTestSuite() { display_ = new test_support::PrivateXServer(); }
    static void TearDownTestSuite() {
        delete display_;
        display_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(display_->started());
        sound_ = std::make_unique<TestSoundServer>(GetParam());
        ASSERT_TRUE(sound_->started()) << "the private " << soundServerName(GetParam()) << " server did not start";
    }
    std::string file(const std::string& name) const { return folder_.file(name); }

    static inline test_support::PrivateXServer* display_ = nullptr;
    std::unique_ptr<TestSoundServer> sound_;
    test_support::TemporaryDirectory folder_;
};

// Per 100 ms of the file: the tone it should hold is there and the other is not.
void expectToneThroughout(const std::vector<float>& samples, double wanted, double other, const std::string& what,
                          size_t serverBreaks = 0) {
    constexpr size_t kWindow = test_support::kAnalysisRate / 10;
    // The file ends at the stop, inside its last buffer and the encoder's last frame.
    constexpr size_t kEnd = test_support::kAnalysisRate / 20;
    size_t windows = 0, wrong = 0, weak = 0;
    for (size_t at = 0; at + kWindow + kEnd <= samples.size(); at += kWindow, ++windows) {
        double level = test_support::toneAmplitude(samples, at, kWindow, wanted);
        double leak = test_support::toneAmplitude(samples, at, kWindow, other);
        // A break in the tone (see expectNoMoreBreaksThan) lowers its level in its window,
        // which a break of the server's own may explain; the wrong source's tone never is.
        const bool tooWeak = level < 0.3 * kToneAmplitude;
        if (tooWeak && leak <= 0.05 * kToneAmplitude && ++weak <= serverBreaks) continue;
        if (tooWeak || leak > 0.05 * kToneAmplitude) {
            if (++wrong == 1)
                ADD_FAILURE() << what << " at " << double(at) / test_support::kAnalysisRate << " s: " << wanted
                              << " Hz at " << level << ", " << other << " Hz at " << leak;
        }
    }
    EXPECT_GT(windows, 0u) << what;
    EXPECT_EQ(wrong, 0u) << what << ": windows of 100 ms without their tone, of " << windows;
}

// From 20 ms into the file on (the first buffer may start a moment after the segment), the
// tone runs unbroken, but where the server itself broke it: a busy machine can starve the
// tone players or the server, which then breaks the reference capture that ran beside the
// recorder, from before its start to after its stop, as well.
void expectNoMoreBreaksThan(const std::vector<float>& samples, const std::vector<float>& reference, double frequency,
                            const std::string& what) {
    auto breaks = test_support::toneBreaks(samples, test_support::kAnalysisRate / 50, frequency, kToneAmplitude);
    auto serverBreaks = test_support::toneBreaks(reference, test_support::kAnalysisRate / 50, frequency, kToneAmplitude);
    EXPECT_GT(reference.size(), samples.size()) << what << ": the reference capture ran all along";
    EXPECT_LE(breaks.count(), serverBreaks.count())
        << what << ": " << breaks.quietWindows << " silences put in and " << breaks.jumps
        << " cuts in the tone, first at " << double(breaks.firstBreakAt) / test_support::kAnalysisRate
        << " s; the reference capture had " << serverBreaks.count();
}

// parec recording a source beside the recorder, as raw float32 stereo at 48 kHz.
test_support::ChildProcess referenceCapture(const std::string& source, const std::string& path) {
    return test_support::ChildProcess::background({"parec", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                                                   "--latency-msec=10", "--device=" + source, path});
}

TEST_P(SoundServers, TheSystemAudioFileHoldsTheSpeakersAndTheMicrophoneFileTheMicrophoneUnbroken) {
    auto microphone = sound_->playTone(TestSoundServer::kMicrophoneSink, kMicrophoneTone, 10);
    auto speakers = sound_->playTone(TestSoundServer::kSpeakers, kSpeakersTone, 10);
    auto systemReference = referenceCapture(std::string(TestSoundServer::kSpeakers) + ".monitor", file("system.raw"));
    auto microphoneReference = referenceCapture(TestSoundServer::kMicrophone, file("mic.raw"));
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    // The tones reach the sources once the players have filled their buffers.
    std::this_thread::sleep_for(500ms);
    recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                      {"systemAudio", true},
                                      {"sysOutputPath", file("system.m4a")},
                                      {"microphoneID", TestSoundServer::kMicrophone},
                                      {"micOutputPath", file("mic.m4a")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    std::this_thread::sleep_for(3s);
    recorder.send("stop");
    ASSERT_TRUE(recorder.waitFor("finish"));
    systemReference.stop();
    microphoneReference.stop();
    auto system = test_support::decodeMono(file("system.m4a"));
    auto mic = test_support::decodeMono(file("mic.m4a"));
    auto serverBreaks = [](const std::string& path, double frequency) {
        return test_support::toneBreaks(test_support::readRawStereo(path), test_support::kAnalysisRate / 50, frequency,
                                        kToneAmplitude)
            .count();
    };
    expectToneThroughout(system, kSpeakersTone, kMicrophoneTone, "system audio",
                         serverBreaks(file("system.raw"), kSpeakersTone));
    expectToneThroughout(mic, kMicrophoneTone, kSpeakersTone, "microphone", serverBreaks(file("mic.raw"), kMicrophoneTone));
    expectNoMoreBreaksThan(system, test_support::readRawStereo(file("system.raw")), kSpeakersTone, "system audio");
    expectNoMoreBreaksThan(mic, test_support::readRawStereo(file("mic.raw")), kMicrophoneTone, "microphone");
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

// Asked for system audio alone, the program records the speakers, never the microphone.
TEST_P(SoundServers, SystemAudioAloneNeverRecordsTheMicrophone) {
    auto microphone = sound_->playTone(TestSoundServer::kMicrophoneSink, kMicrophoneTone, 10);
    auto speakers = sound_->playTone(TestSoundServer::kSpeakers, kSpeakersTone, 10);
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    std::this_thread::sleep_for(500ms);
    recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                      {"systemAudio", true},
                                      {"sysOutputPath", file("system.m4a")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    std::this_thread::sleep_for(1s);
    recorder.send("stop");
    ASSERT_TRUE(recorder.waitFor("finish"));
    expectToneThroughout(test_support::decodeMono(file("system.m4a")), kSpeakersTone, kMicrophoneTone, "system audio");
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

// A microphone that delivers nothing (a pipe source nobody writes to) refuses the start
// with the start's errors, leaves no file, and the program records at once after it.
TEST_P(SoundServers, AMicrophoneThatDeliversNothingRefusesTheStart) {
    // PipeWire's pipe source hands over silence while nobody writes to it: a microphone
    // that delivers.
    if (GetParam() == SoundServerKind::pipeWire) GTEST_SKIP() << "PipeWire's pipe source is never silent";
    ASSERT_TRUE(sound_->pactl({"load-module", "module-pipe-source", "source_name=silent_microphone",
                               "file=" + file("silent.pipe"), "format=float32le", "rate=48000", "channels=2"}));
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    const auto sent = std::chrono::steady_clock::now();
    recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                      {"microphoneID", "silent_microphone"},
                                      {"micOutputPath", file("mic.m4a")}}));
    auto engineError = recorder.waitFor("error", 30s);
    ASSERT_TRUE(engineError) << nlohmann::json(recorder.seen).dump();
    EXPECT_EQ((*engineError)["code"], "RECORDING_ERROR");
    EXPECT_NE((*engineError)["message"].get<std::string>().find("nothing came from the PulseAudio source"),
              std::string::npos)
        << *engineError;
    auto refusal = recorder.waitFor("error", 30s);
    ASSERT_TRUE(refusal);
    EXPECT_EQ((*refusal)["code"], "ERROR_STARTING");
    // Four seconds of waiting, and the time a busy machine takes to give up the capture.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 15s);
    for (const auto& event : recorder.seen) EXPECT_NE(event.value("event", ""), "started") << event;
    EXPECT_FALSE(std::filesystem::exists(file("screen.mp4")));
    EXPECT_FALSE(std::filesystem::exists(file("mic.m4a")));

    auto microphone = sound_->playTone(TestSoundServer::kMicrophoneSink, kMicrophoneTone, 10);
    recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                      {"microphoneID", TestSoundServer::kMicrophone},
                                      {"micOutputPath", file("mic.m4a")}}));
    ASSERT_TRUE(recorder.waitFor("started"));
    recorder.send("stop");
    ASSERT_TRUE(recorder.waitFor("finish"));
    EXPECT_TRUE(std::filesystem::exists(file("mic.m4a")));
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

// A microphone that hands its audio over in blocks of seconds (the sine source module)
// keeps every sample of each segment's span: the block that covers a pause or the stop
// comes after it, and the segment's end waits for it.
TEST_P(SoundServers, AMicrophoneThatDeliversInBlocksKeepsEachSegmentWhole) {
    if (GetParam() == SoundServerKind::pipeWire) GTEST_SKIP() << "PipeWire has no sine source module";
    ASSERT_TRUE(sound_->pactl({"load-module", "module-sine-source", "source_name=bursty_microphone", "rate=48000",
                               "frequency=440"}));
    Recorder recorder;
    ASSERT_TRUE(recorder.ready());
    auto segment = [&](const std::string& name) {
        return request({{"outputPath", file(name + ".mp4")},
                        {"microphoneID", "bursty_microphone"},
                        {"micOutputPath", file(name + ".m4a")}});
    };
    recorder.send("start " + segment("one"));
    ASSERT_TRUE(recorder.waitFor("started", 30s));
    std::this_thread::sleep_for(2s);
    recorder.send("pause");
    ASSERT_TRUE(recorder.waitFor("paused", 30s));
    recorder.send("resume " + segment("two"));
    ASSERT_TRUE(recorder.waitFor("resumed", 30s));
    std::this_thread::sleep_for(3s);
    recorder.send("stop");
    ASSERT_TRUE(recorder.waitFor("finish", 30s));
    for (const std::string name : {"one", "two"}) {
        auto video = probe(file(name + ".mp4"), false);
        auto audio = probe(file(name + ".m4a"), false);
        ASSERT_TRUE(video.contains("format") && audio.contains("format"))
            << name << ": " << video << " " << audio << "\nevents: " << nlohmann::json(recorder.seen).dump();
        // The files start together and end together: the audio is short of the video by
        // no more than its last buffer and the encoder's last frame.
        EXPECT_GE(durationOf(audio), durationOf(video) - 0.1) << name;
        EXPECT_LE(durationOf(audio), durationOf(video) + 0.1) << name;
        // And it is sound all through, not silence padded in: the tone is there in each
        // 100 ms of the file (the module's source is mono, at half of full scale).
        auto decoded = test_support::runToCompletion(test_support::ffmpegPath(),
                                                     {"-v", "error", "-i", file(name + ".m4a"), "-ac", "1", "-ar",
                                                      std::to_string(test_support::kAnalysisRate), "-f", "f32le", "-"});
        std::vector<float> samples(decoded.standardOutput.size() / sizeof(float));
        std::memcpy(samples.data(), decoded.standardOutput.data(), samples.size() * sizeof(float));
        expectToneThroughout(samples, kMicrophoneTone, kSpeakersTone, name);
    }
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
}

// Out of file descriptors the start fails with the real cause, and nothing of libpulse's
// own logging reaches standard error.
TEST_P(SoundServers, OutOfFileDescriptorsTheStartNamesTheCause) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime takes descriptors of its own: the limit that leaves the program its start lies elsewhere";
#endif
    // Twenty: enough to start and reach the X server, too few for both sound streams.
    Recorder recorder(PRLIMIT_EXECUTABLE, {"--nofile=20", TAVRIK_BINARY});
    ASSERT_TRUE(recorder.ready());
    recorder.send("start " + request({{"outputPath", file("screen.mp4")},
                                      {"systemAudio", true},
                                      {"sysOutputPath", file("system.m4a")},
                                      {"microphoneID", TestSoundServer::kMicrophone},
                                      {"micOutputPath", file("mic.m4a")}}));
    auto refused = recorder.waitFor("error", 30s);
    ASSERT_TRUE(refused) << nlohmann::json(recorder.seen).dump();
    EXPECT_NE((*refused)["message"].get<std::string>().find("Too many open files"), std::string::npos) << *refused;
    recorder.send("quit");
    EXPECT_TRUE(recorder.process().wait());
    EXPECT_EQ(recorder.process().readStandardError(), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServers,
                         ::testing::Values(SoundServerKind::pulseAudio, SoundServerKind::pipeWire),
                         [](const auto& info) { return test_support::soundServerName(info.param); });

} // namespace
