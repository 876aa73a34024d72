// Frames of a video track are never closer than half a frame interval, and key frames come
// a key-frame interval apart, never a frame or two beside each other, whatever the times
// the pictures arrive at: pictures microseconds apart, a picture just after a key-frame
// time, long still stretches ending just after one. A short key-frame interval (0.5 s)
// puts many of those moments into a file of a few seconds. Read back by ffprobe, and
// decoded by ffmpeg, which must have nothing to say about the file.

#include "writer_test_support.h"

#include "platform/linux/ffmpeg_asset_writers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace platform;
using namespace writer_test;

namespace {

constexpr double kKeyInterval = 0.5;  // seconds
constexpr double kTick = 1.0 / 90000;  // the track's time base

struct SpacingCase {
    const char* name;
    double fps;
    std::vector<double> times;  // when the pictures arrive, seconds after the session start
    double end;                 // the session's end
};

// Every picture of a moving screen, at the rate, for `seconds`.
std::vector<double> steady(double fps, double seconds, double from = 0) {
    std::vector<double> times;
    for (int k = 0; k < int(seconds * fps); ++k) times.push_back(from + k / fps);
    return times;
}

std::vector<SpacingCase> spacingCases() {
    std::vector<SpacingCase> cases;
    // A late frame lands one tick after the key-frame time; before, the held picture was sent
    // again at that time, a tick before the new one.
    cases.push_back({"late-frame-after-key-time", 30, {0, 0.1, 0.2, kKeyInterval + kTick, 0.55, 0.6}, 0.8});
    // The first picture at the session start and the first frame captured just after it.
    cases.push_back({"start-and-first-frame", 60, {0, 0.00001, 0.00006, 1.0 / 60, 2.0 / 60, 0.3}, 0.5});
    // Still stretches that end a few ticks after one, two and three key-frame intervals.
    cases.push_back({"still-then-new-picture", 30,
                     {0, kKeyInterval + kTick, 0.6, 0.6 + 2 * kKeyInterval + 5 * kTick, 1.7,
                      1.7 + 3 * kKeyInterval + 6 * kTick},
                     3.5});
    // A still screen: the picture sent again a frame interval before each key interval runs
    // out, the frames themselves carry the key frames.
    cases.push_back({"still-resent", 60, {0, 0.4984, 0.9984, 1.4943, 1.9901}, 2.5});
    // A still tail whose end comes a tick after a key-frame time.
    cases.push_back({"still-tail", 30, {0, 0.1}, 0.1 + 2 * kKeyInterval + kTick});
    // Moving pictures at each rate, every picture a few microseconds off its slot, and a
    // second picture 40 microseconds after every tenth.
    for (double fps : {30.0, 60.0}) {
        std::vector<double> times;
        int n = 0;
        for (double t : steady(fps, 2.0)) {
            times.push_back(t + (n % 3) * 3 * kTick);
            if (n++ % 10 == 0) times.push_back(times.back() + 0.00004);
        }
        cases.push_back({fps == 30 ? "moving-30" : "moving-60", fps, times, 2.0});
    }
    return cases;
}

VideoSettings shortKeyIntervalSettings(double fps) {
    auto assistant = OutputSettingsAssistant::make(OutputSettingsPreset::screenH264UpTo4K);
    assistant->setSourceVideoFormat(FormatDescription::makeVideo(pixel_format::bgra, 160, 90));
    assistant->setSourceVideoAverageFrameDuration(MediaTime::make(1000, int32_t(fps * 1000)));
    VideoSettings settings = assistant->videoSettings().value();
    settings.width = 160;
    settings.height = 90;
    settings.compressionProperties->maxKeyFrameIntervalDuration = kKeyInterval;
    settings.compressionProperties->maxKeyFrameInterval = int32_t(kKeyInterval * fps);
    return settings;
}

struct Packet {
    double pts;
    bool key;
};

std::vector<Packet> packetsOf(const std::string& path) {
    const auto probed = nlohmann::json::parse(
        run("ffprobe -v error -select_streams v -show_entries packet=pts_time,flags -of json '" + path + "'"));
    std::vector<Packet> packets;
    for (const auto& packet : probed["packets"]) {
        packets.push_back({number(packet["pts_time"]), packet["flags"].get<std::string>().find('K') != std::string::npos});
    }
    std::sort(packets.begin(), packets.end(), [](const Packet& a, const Packet& b) { return a.pts < b.pts; });
    return packets;
}

class FrameSpacing : public testing::TestWithParam<SpacingCase> {};

TEST_P(FrameSpacing, FramesAtLeastHalfAFrameApartAndKeyFramesAKeyIntervalApart) {
    const SpacingCase& c = GetParam();
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("spacing.mp4");
    auto writers = linux_backend::makeFfmpegAssetWriters();
    auto writer = writers->makeWriter(path, FileType::mpeg4);
    auto input = writers->makeInput(MediaType::video, shortKeyIntervalSettings(c.fps));
    input->setExpectsMediaDataInRealTime(true);
    writer->addInput(input);
    ASSERT_TRUE(writer->startWriting());
    // Capture clocks count nanoseconds.
    const auto at = [](double seconds) { return MediaTime::make(int64_t(std::llround((100 + seconds) * 1e9)), 1'000'000'000); };
    writer->startSession(at(0));
    int seed = 0;
    for (double t : c.times) {
        while (!input->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(input->append(videoFrame(160, 90, at(t), MediaTime::invalid(), ++seed)));
    }
    writer->endSession(at(c.end));
    input->markAsFinished();
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed);

    const auto packets = packetsOf(path);
    ASSERT_GE(packets.size(), 2u);
    const double halfFrame = 0.5 / c.fps;
    double lastKey = -1;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(packets[i].pts - packets[i - 1].pts, halfFrame - kTick) << "frame " << i << " at " << packets[i].pts;
        }
        if (!packets[i].key) continue;
        if (lastKey >= 0) {
            EXPECT_LE(packets[i].pts - lastKey, kKeyInterval + 1e-3) << "key frame at " << packets[i].pts;
            EXPECT_GE(packets[i].pts - lastKey, kKeyInterval / 2) << "key frame at " << packets[i].pts;
        } else {
            EXPECT_NEAR(packets[i].pts, 0, 1e-3) << "the first frame is a key frame";
        }
        lastKey = packets[i].pts;
    }
    EXPECT_NEAR(number(probe(path)["format"]["duration"]), c.end, 1.0 / c.fps);
    EXPECT_EQ(run("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1"), "");
}

INSTANTIATE_TEST_SUITE_P(Timelines, FrameSpacing, testing::ValuesIn(spacingCases()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
