// Level lines from microphones of a private PulseAudio daemon: a silent source
// gives VOL:0, a full-scale square wave VOL:100.

#include "child_process.h"
#include "private_servers.h"
#include "temporary_directory.h"

#include "Dovezode/PreviewSession.h"

#include "platform/linux/linux_platform.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using test_support::ChildProcess;
using test_support::PrivatePulseServer;
using test_support::TemporaryDirectory;

// A private PulseAudio daemon with a silent microphone and one that records a
// full-scale square wave played into a float sink.
class LevelServer {
public:
    LevelServer()
        : pulse_(/*realTimeMicrophone=*/false,
                 {"module-null-source source_name=level_silence format=float32le rate=48000 channels=2",
                  "module-null-sink sink_name=level_square_sink format=float32le rate=48000 channels=2",
                  "module-remap-source source_name=level_square master=level_square_sink.monitor"}) {
        if (!pulse_.started()) return;
        // Ten seconds of ±1.0 at 100 Hz, stereo, looped by playing it again when it ends.
        squareWave_ = folder_.file("square.raw");
        std::ofstream out(squareWave_, std::ios::binary);
        for (int frame = 0; frame < 48000 * 10; ++frame) {
            float value = (frame / 240) % 2 ? 1.0f : -1.0f;
            out.write(reinterpret_cast<const char*>(&value), 4);
            out.write(reinterpret_cast<const char*>(&value), 4);
        }
    }
    ~LevelServer() { player_.stop(); }
    bool started() const { return pulse_.started(); }

    void playSquareWave() {
        player_ = ChildProcess::background({"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                                "--device=level_square_sink", squareWave_});
    }

private:
    PrivatePulseServer pulse_;
    TemporaryDirectory folder_;
    std::string squareWave_;
    ChildProcess player_;
};

// The level lines written while the microphone previews for a while.
std::vector<std::string> levelLines(const std::string& microphone, size_t wanted) {
    PreviewSession preview{platform::installed()};
    testing::internal::CaptureStdout();
    preview.startMicrophonePreview(microphone);
    // 10 ms buffers: `wanted` lines take a fraction of a second; the limit is for a busy machine.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string text;
    while (std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::fflush(stdout);
        // Reading the captured text ends the capture: take a look and start a new one.
        text += testing::internal::GetCapturedStdout();
        if (size_t(std::count(text.begin(), text.end(), '\n')) >= wanted) break;
        testing::internal::CaptureStdout();
    }
    preview.stopMicrophonePreview();
    if (size_t(std::count(text.begin(), text.end(), '\n')) < wanted) {
        std::fflush(stdout);
        text += testing::internal::GetCapturedStdout();
    }
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

class LevelLines : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.started());
        platform::install(platform::linux_backend::makeLinuxPlatform());
    }
    LevelServer server_;
};

TEST_F(LevelLines, SilentMicrophoneGivesZero) {
    auto lines = levelLines("level_silence", 20);
    ASSERT_GE(lines.size(), 20u);
    for (const auto& line : lines) EXPECT_EQ(line, "VOL:0");
}

TEST_F(LevelLines, FullScaleSquareWaveGivesHundred) {
    server_.playSquareWave();
    auto lines = levelLines("level_square", 60);
    ASSERT_GE(lines.size(), 60u);
    // Buffers from before the playback reached the monitor are silent; once it plays, full scale.
    size_t full = 0;
    for (const auto& line : lines) {
        EXPECT_TRUE(line == "VOL:0" || line == "VOL:100") << line;
        full += line == "VOL:100";
    }
    EXPECT_GE(full, 20u);
}

} // namespace
