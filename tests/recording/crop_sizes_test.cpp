// Every crop the real program accepts records: from the smallest picture a video can
// hold (2 x 2 pixels) to thin strips, at a low frame rate where the encoder's rate for
// a small picture is tiny. Each file is read back by ffprobe.

#include "recording_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <thread>

using namespace recording_test;

namespace {

struct CropCase {
    const char* name;
    int x, y, width, height;  // the crop asked for, in pixels of the 1920 x 1080 screen
    int fps;
    int expectedWidth, expectedHeight;  // odd sides are encoded one pixel smaller
};

const CropCase kCropCases[] = {
    {"2x2", 100, 100, 2, 2, 10, 2, 2},
    {"3x3", 100, 100, 3, 3, 10, 2, 2},
    {"16x16", 100, 100, 16, 16, 10, 16, 16},
    {"16x16-at-30", 100, 100, 16, 16, 30, 16, 16},
    {"31x31", 100, 100, 31, 31, 10, 30, 30},
    {"32x32", 100, 100, 32, 32, 10, 32, 32},
    {"100x20", 100, 100, 100, 20, 10, 100, 20},
    {"1920x2", 0, 100, 1920, 2, 10, 1920, 2},
    // Clipped to the 20 x 20 pixels it has on the screen, at its bottom-right corner.
    {"corner", 1900, 1060, 100, 100, 10, 20, 20},
};

} // namespace

TEST_F(RecordingProcess, EveryCropTheStartAcceptsRecordsAVideoOfItsSize) {
    Animation animation;  // the pictures change, so every file gets more than its first frame
    // The recorders run side by side: one second of recording for the whole table.
    std::vector<std::unique_ptr<Recorder>> recorders;
    for (const auto& c : kCropCases) {
        recorders.push_back(std::make_unique<Recorder>());
        recorders.back()->send("start " + request({{"outputPath", file(std::string(c.name) + ".mp4")},
                                                   {"fps", c.fps},
                                                   {"cropRect", json::array({json::array({c.x, c.y}),
                                                                             json::array({c.width, c.height})})}}));
    }
    for (size_t i = 0; i < recorders.size(); ++i) {
        ASSERT_TRUE(recorders[i]->waitFor("started")) << kCropCases[i].name;
    }
    std::this_thread::sleep_for(1s);
    for (auto& recorder : recorders) recorder->send("stop");
    for (size_t i = 0; i < recorders.size(); ++i) {
        const CropCase& c = kCropCases[i];
        SCOPED_TRACE(c.name);
        auto finish = recorders[i]->waitFor("finish");
        ASSERT_TRUE(finish);
        for (const auto& event : recorders[i]->seen) EXPECT_NE(event.value("event", ""), "error") << event.dump();
        EXPECT_TRUE((*finish)["message"]["screen"].is_number_integer());
        auto probed = probe(file(std::string(c.name) + ".mp4"));
        ASSERT_TRUE(probed.is_object() && probed.contains("streams"));
        const auto& video = probed["streams"][0];
        EXPECT_EQ(video.value("width", 0), c.expectedWidth);
        EXPECT_EQ(video.value("height", 0), c.expectedHeight);
        EXPECT_GE(std::stoi(video.value("nb_read_frames", "0")), 2);
        // At least the second slept between the last "started" and the stops, and as long as reported.
        EXPECT_GE(durationOf(probed), 1.0 - 1.0 / c.fps);
        expectVideoEndsAtReported((*finish)["message"]["screen"].get<double>(), durationOf(probed), c.fps, c.name);
        recorders[i]->send("quit");
        EXPECT_TRUE(recorders[i]->process().wait());
    }
}
