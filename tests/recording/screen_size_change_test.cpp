// The X screen changes its size (RandR) while the real program records it: the
// recording goes on with the new pictures, scaled into the file's size with their
// aspect kept; a crop is clipped to the new screen, and a crop left off it ends the
// recording with an error saying so. Read back by ffprobe and ffmpeg.

#include "recording_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

using namespace recording_test;

namespace {

// The suite's X server is shared: its size is put back whatever the test's outcome.
class ScreenSize {
public:
    explicit ScreenSize(test_support::XTestClient& client) : client_(client) {}
    ~ScreenSize() { client_.setScreenSize(1920, 1080); }
    bool set(uint16_t width, uint16_t height) { return client_.setScreenSize(width, height); }

private:
    test_support::XTestClient& client_;
};

// The colour of one pixel of the last frame of a file (width x height).
test_support::Colour lastFramePixel(const std::string& path, int x, int y, int width, int height) {
    auto decoded = test_support::runToCompletion(test_support::ffmpegPath(),
                                                 {"-nostdin", "-v", "error", "-sseof", "-0.3", "-i", path, "-f",
                                                  "rawvideo", "-pix_fmt", "rgb24", "-"});
    const std::string& bytes = decoded.standardOutput;
    const size_t frameBytes = size_t(width) * size_t(height) * 3;
    if (bytes.size() < frameBytes) return {};
    const size_t offset = (bytes.size() / frameBytes - 1) * frameBytes + (size_t(y) * width + x) * 3;
    return {uint8_t(bytes[offset]), uint8_t(bytes[offset + 1]), uint8_t(bytes[offset + 2])};
}

} // namespace

TEST_F(RecordingProcess, AScreenSizeChangeIsFollowedAndACropLeftOffTheScreenEndsWithAnError) {
    Animation animation;  // every frame is a new picture, none of them black
    test_support::XTestClient client;
    ScreenSize screen(client);
    struct Case {
        const char* name;
        std::optional<std::array<int, 4>> crop;
        int width, height;  // of the file
        bool fails;
    };
    const Case cases[] = {
        {"whole", std::nullopt, 1920, 1080, false},
        // Clipped to its 280 x 360 pixels left on the 1280 pixels wide screen.
        {"clipped", std::array<int, 4>{1000, 600, 640, 360}, 640, 360, false},
        {"off", std::array<int, 4>{1400, 100, 400, 300}, 400, 300, true},
    };
    std::vector<std::unique_ptr<Recorder>> recorders;
    for (const auto& c : cases) {
        json options = {{"outputPath", file(std::string(c.name) + ".mp4")}};
        if (c.crop) {
            const auto& r = *c.crop;
            options["cropRect"] = json::array({json::array({r[0], r[1]}), json::array({r[2], r[3]})});
        }
        recorders.push_back(std::make_unique<Recorder>());
        recorders.back()->send("start " + request(options));
    }
    for (auto& recorder : recorders) ASSERT_TRUE(recorder->waitFor("started"));
    std::this_thread::sleep_for(1s);
    // 5:4, so that the pictures need bars to keep their aspect in a 16:9 file.
    ASSERT_TRUE(screen.set(1280, 1024));
    std::this_thread::sleep_for(1500ms);

    for (size_t i = 0; i < recorders.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        Recorder& recorder = *recorders[i];
        const std::string path = file(std::string(c.name) + ".mp4");
        if (c.fails) {
            // Told at once, not at the stop: the error came while the test slept.
            auto error = recorder.waitFor("error", 1s);
            ASSERT_TRUE(error);
            EXPECT_EQ((*error)["code"], "RECORDING_ERROR");
            const std::string message = (*error)["message"];
            EXPECT_NE(message.find("crop rectangle no longer lies on it"), std::string::npos) << message;
            EXPECT_NE(message.find("1280 x 1024"), std::string::npos) << message;
            // The frames before the change are in a readable file.
            EXPECT_GE(durationOf(probe(path)), 0.5);
        } else {
            recorder.send("stop");
            auto finish = recorder.waitFor("finish");
            ASSERT_TRUE(finish);
            for (const auto& event : recorder.seen) EXPECT_NE(event.value("event", ""), "error") << event.dump();
            auto probed = probe(path);
            ASSERT_TRUE(probed.is_object() && probed.contains("streams"));
            EXPECT_EQ(probed["streams"][0].value("width", 0), c.width);
            EXPECT_EQ(probed["streams"][0].value("height", 0), c.height);
            // New pictures all along after the change (before, the video stood still there).
            const double afterChange = durationOf(probed) - 1.5;
            auto times = test_support::runToCompletion(test_support::ffprobePath(),
                                                       {"-v", "error", "-select_streams", "v", "-show_entries",
                                                        "packet=pts_time", "-of", "csv=p=0", path});
            int framesAfter = 0;
            std::istringstream lines(times.standardOutput);
            for (std::string line; std::getline(lines, line);) {
                if (!line.empty() && std::stod(line) > afterChange + 0.2) ++framesAfter;
            }
            EXPECT_GE(framesAfter, 10) << "frames in the last 1.3 s";
            // The 5:4 picture fills the file's height, centred: black bars left and right.
            const auto bar = lastFramePixel(path, 4, c.height / 2, c.width, c.height);
            const auto middle = lastFramePixel(path, c.width / 2, c.height / 2, c.width, c.height);
            EXPECT_TRUE(test_support::near(bar, {0, 0, 0}, 24)) << int(bar.red) << "," << int(bar.green) << "," << int(bar.blue);
            EXPECT_FALSE(test_support::near(middle, {0, 0, 0}, 60)) << "the picture itself";
        }
        recorder.send("quit");
        EXPECT_TRUE(recorder.process().wait());
    }
}
