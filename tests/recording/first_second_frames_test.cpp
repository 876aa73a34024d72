// The real program records at 60 frames a second a screen whose picture changes every
// 4 ms: the first second of the file holds a frame in every frame interval, each a new
// picture, none a picture later than it should be. Three recordings in a row, read back
// by ffprobe and decoded by ffmpeg.
//
// Frames lost while the encoder starts would show here. It needs a quiet machine (a busy
// one starves the painter or the grabber, and the picture then misses a change), so it is
// a soak test: `make soak` runs it, `make test` does not.

#include "media_tools.h"
#include "recording_support.h"
#include "x_test_client.h"

#include <cmath>
#include <sstream>

using namespace recording_test;

namespace {

constexpr int kFramesPerSecond = 60;
constexpr auto kTick = 4ms;  // the painter's period, about four ticks a frame interval
constexpr int kLevels = 4;   // levels a colour channel takes: 0, 85, 170, 255
constexpr int kCycle = kLevels * kLevels * kLevels;

// The whole screen in one colour that encodes the painter's tick modulo kCycle, two bits a
// channel, so that a decoded frame tells which tick it shows despite the encoding's loss.
class TickPainter {
public:
    TickPainter() {
        window_ = client_.window(0, 0, 1920, 1080, colourOf(0));
        thread_ = std::thread([this] {
            auto next = std::chrono::steady_clock::now();
            for (uint32_t tick = 1; running_; ++tick) {
                next += kTick;
                std::this_thread::sleep_until(next);
                client_.fill(window_, colourOf(tick));  // waits until the server has drawn it
            }
        });
    }
    ~TickPainter() {
        running_ = false;
        thread_.join();
    }
    static test_support::Colour colourOf(uint32_t tick) {
        auto level = [](uint32_t value) { return uint8_t((value % kLevels) * 255 / (kLevels - 1)); };
        return {level(tick), level(tick / kLevels), level(tick / (kLevels * kLevels))};
    }
    static int tickOf(uint8_t red, uint8_t green, uint8_t blue) {
        auto value = [](uint8_t level) { return int(std::lround(level * (kLevels - 1) / 255.0)); };
        return value(red) + kLevels * value(green) + kLevels * kLevels * value(blue);
    }

private:
    test_support::XTestClient client_;
    xcb_window_t window_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Presentation times of a file's video frames, in order, from its packets.
std::vector<double> presentationTimes(const std::string& path) {
    auto result = test_support::runToCompletion(
        test_support::ffprobePath(), {"-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time", "-of", "csv=p=0", path});
    std::vector<double> times;
    std::istringstream lines(result.standardOutput);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) times.push_back(std::stod(line));
    }
    std::sort(times.begin(), times.end());  // packets come in decoding order
    return times;
}

// The painter's tick (modulo kCycle) in each of the first `count` decoded frames, read from
// the mean colour of a 16x16 square.
std::vector<int> ticksOfFirstFrames(const std::string& path, int count) {
    auto result = test_support::runToCompletion(
        test_support::ffmpegPath(), {"-v", "error", "-i", path, "-map", "0:v:0", "-frames:v", std::to_string(count), "-fps_mode",
                            "passthrough", "-vf", "crop=16:16:200:200,scale=1:1:flags=area,format=rgb24", "-f", "rawvideo",
                            "-"});
    std::vector<int> ticks;
    const std::string& pixels = result.standardOutput;
    for (size_t at = 0; at + 3 <= pixels.size(); at += 3)
        ticks.push_back(TickPainter::tickOf(uint8_t(pixels[at]), uint8_t(pixels[at + 1]), uint8_t(pixels[at + 2])));
    return ticks;
}

class FirstSecondFrames : public RecordingProcess {};

TEST_F(FirstSecondFrames, SixtyFramesASecondLeaveNoFrameOutOfTheFirstSecond) {
    TickPainter painter;
    constexpr double kInterval = 1.0 / kFramesPerSecond;
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE("recording " + std::to_string(run));
        const std::string path = file("first-second-" + std::to_string(run) + ".mp4");
        {
            Recorder recorder;
            ASSERT_TRUE(recorder.ready());
            recorder.send("start " + request({{"outputPath", path}, {"fps", kFramesPerSecond}, {"showCursor", false}}));
            ASSERT_TRUE(recorder.waitFor("started"));
            std::this_thread::sleep_for(2s);  // the length of the recording, not a wait for an event
            recorder.send("stop");
            ASSERT_TRUE(recorder.waitFor("finish"));
        }

        const auto times = presentationTimes(path);
        ASSERT_FALSE(times.empty()) << path;
        // A frame in every frame interval of the first second: 60 frames from the first one's
        // pts, none more than 1.5 intervals after the one before (a frame left out). The pts
        // are the grabs' times: a grab woken late lies closer to the next, and after one
        // woken over an interval late the grabber's ticks shift in phase, so the frames are
        // not held to a grid.
        size_t firstSecond = 0;  // frames in the first second
        std::string gaps;
        for (size_t frame = 0; frame < times.size(); ++frame) {
            const double at = times[frame] - times.front();
            if (frame > 0) {
                const double interval = (times[frame] - times[frame - 1]) / kInterval;
                const double from = times[frame - 1] - times.front();
                if (interval > 1.5)
                    gaps += " " + std::to_string(from) + " (" + std::to_string(std::lround(interval) - 1) + " left out)";
            }
            if (at >= 1 - kInterval / 2) break;  // the first frame after the first second
            ++firstSecond;
        }
        EXPECT_EQ(firstSecond, size_t(kFramesPerSecond)) << "frames in the first second";
        EXPECT_TRUE(gaps.empty()) << "frames left out in the first second after (s):" << gaps;

        // Each of those frames is a new picture, and none shows a tick 1.5 frame intervals or
        // more after the one before (a frame left out, its interval filled by a later picture).
        const auto ticks = ticksOfFirstFrames(path, int(firstSecond));
        ASSERT_EQ(ticks.size(), firstSecond) << path;
        // A frame left out: the next one shows a picture about two intervals on (8.3 ticks); a
        // grab's timing moves the tick it sees by about one, so 1.5 intervals separate the cases.
        const int farthest = int(std::ceil(1.5 * kInterval / std::chrono::duration<double>(kTick).count()));
        for (size_t frame = 1; frame < ticks.size(); ++frame) {
            const int advance = (ticks[frame] - ticks[frame - 1] + kCycle) % kCycle;
            const double at = times[frame] - times.front();
            EXPECT_NE(advance, 0) << "frame " << frame << " at " << at << " s repeats the picture before it";
            EXPECT_LT(advance, farthest) << "frame " << frame << " at " << at << " s shows a picture " << advance
                                         << " ticks of " << kTick.count() << " ms after the one before";
        }
    }
}

} // namespace
