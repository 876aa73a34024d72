// The real tavrik over pipes with a private X server and PulseAudio daemon: the
// microphone preview prints a level line for every 10 ms buffer, each flushed at
// once into the pipe, and "preview {}" stops them.

#include "child_process.h"
#include "private_servers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

bool isLevelLine(const std::string& line) { return line.rfind("VOL:", 0) == 0; }

} // namespace

TEST(PreviewProcess, LevelLinesAtTheBufferRateUntilThePreviewStops) {
    test_support::PrivateXServer x;
    test_support::PrivatePulseServer pulse(/*realTimeMicrophone=*/true);
    ASSERT_TRUE(x.started());
    ASSERT_TRUE(pulse.started());

    test_support::ChildProcess tavrik(TAVRIK_BINARY, {});
    ASSERT_TRUE(tavrik.readLine());  // banner
    ASSERT_TRUE(tavrik.readLine());  // ready
    tavrik.write(std::string("preview {\"microphoneID\":\"") + test_support::PrivatePulseServer::kSineSource + "\"}\n");

    // The sine tone of amplitude ½ (mean square ⅛): 100 × √(1/√8) = 59.
    std::vector<Clock::time_point> arrivals;
    while (arrivals.size() < 220) {
        auto line = tavrik.readLine();
        ASSERT_TRUE(line) << "level lines stopped after " << arrivals.size();
        ASSERT_TRUE(isLevelLine(*line)) << *line;
        int level = std::stoi(line->substr(4));
        EXPECT_GE(level, 55);
        EXPECT_LE(level, 63);
        arrivals.push_back(Clock::now());
    }
    // 200 buffers of 10 ms: two seconds of audio. The first lines are left out, they may
    // come in a burst of what the server held; the range allows for a busy machine.
    const double seconds = std::chrono::duration<double>(arrivals[219] - arrivals[19]).count();
    EXPECT_GT(seconds, 1.0);
    EXPECT_LT(seconds, 4.0);
    RecordProperty("secondsFor200LevelLines", std::to_string(seconds));

    const auto stopSent = Clock::now();
    tavrik.write("preview {}\nmarker\n");
    Clock::time_point lastLevel = stopSent;
    int afterStop = 0;
    for (;;) {
        auto line = tavrik.readLine();
        ASSERT_TRUE(line);
        if (isLevelLine(*line)) {
            lastLevel = Clock::now();
            ++afterStop;
            continue;
        }
        auto event = nlohmann::json::parse(*line);
        EXPECT_EQ(event["message"], "Unknown command: marker");
        break;
    }
    const double stopMilliseconds = std::chrono::duration<double, std::milli>(lastLevel - stopSent).count();
    RecordProperty("levelLinesAfterStop", afterStop);
    RecordProperty("millisecondsToLastLevelLine", std::to_string(stopMilliseconds));
    std::printf("200 level lines in %.2f s; %d lines after \"preview {}\", the last %.1f ms after it\n", seconds,
                afterStop, stopMilliseconds);

    // Nothing more once the command has been answered.
    tavrik.write("marker\n");
    auto next = tavrik.readLine();
    ASSERT_TRUE(next);
    EXPECT_FALSE(isLevelLine(*next)) << *next;

    // No camera on this machine: one "webcam" error, and no level lines either.
    tavrik.write("preview {\"webcamID\":\"no-camera\"}\n");
    auto error = tavrik.readLine();
    ASSERT_TRUE(error);
    auto event = nlohmann::json::parse(*error);
    EXPECT_EQ(event["message"], "webcam");
    EXPECT_EQ(event["code"], "PREVIEW_ERROR");

    tavrik.write("quit\n");
    EXPECT_TRUE(tavrik.wait());
}
