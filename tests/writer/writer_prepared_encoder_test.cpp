// A video encoder opened ahead of its input (the writer's hint): used when the input
// added later has the hinted settings and pixel format, replaced when it has not, and
// the file the same either way.

#include "writer_test_support.h"

#include "platform/linux/ffmpeg_asset_writers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

using namespace platform;
using namespace writer_test;

namespace {

constexpr int32_t kWidth = 160;
constexpr int32_t kHeight = 90;
constexpr int kFrames = 30;
const MediaTime kSessionStart = MediaTime::make(10 * 600, 600);
const MediaTime kFrameDuration = MediaTime::make(20, 600);

// The recorder's settings for frames of this size: the assistant's proposal, then the size.
VideoSettings screenSettings(VideoCodecType codec, int32_t width, int32_t height) {
    auto assistant = OutputSettingsAssistant::make(codec == VideoCodecType::hevc ? OutputSettingsPreset::screenHEVCUpTo8K
                                                                                 : OutputSettingsPreset::screenH264UpTo4K);
    assistant->setSourceVideoFormat(FormatDescription::makeVideo(pixel_format::bgra, width, height));
    assistant->setSourceVideoAverageFrameDuration(MediaTime::make(1, 30));
    VideoSettings settings = assistant->videoSettings().value();
    settings.width = width;
    settings.height = height;
    return settings;
}

struct Hint {
    VideoSettings settings;
    FourCharCode pixelFormat = pixel_format::bgra;
};

// What opened the video track's encoder, as the writer reports it.
struct Openings {
    std::mutex mutex;
    std::vector<bool> openedAhead;
};

// Writes kFrames BGRA frames of the recorder's H.264 settings into an mp4, the hint
// given as the writer is made (or after startWriting when `hintLate`).
void writeFile(const std::string& path, const std::optional<Hint>& hint, bool hintLate, Openings& openings) {
    linux_backend::FfmpegAssetWriterOptions options;
    options.onVideoEncoderReady = [&openings](bool ahead) {
        std::lock_guard lock(openings.mutex);
        openings.openedAhead.push_back(ahead);
    };
    auto writers = linux_backend::makeFfmpegAssetWriters(options);
    auto writer = writers->makeWriter(path, FileType::mpeg4);
    if (hint && !hintLate) writer->prepareVideoInput(hint->settings, hint->pixelFormat);
    auto input = writers->makeInput(MediaType::video, screenSettings(VideoCodecType::h264, kWidth, kHeight));
    input->setExpectsMediaDataInRealTime(true);
    ASSERT_TRUE(writer->canAddInput(input));
    writer->addInput(input);
    ASSERT_TRUE(writer->startWriting());
    if (hint && hintLate) writer->prepareVideoInput(hint->settings, hint->pixelFormat);
    writer->startSession(kSessionStart);
    for (int i = 0; i < kFrames; ++i) {
        const auto frame = videoFrame(kWidth, kHeight, kSessionStart + MediaTime::make(20 * i, 600), kFrameDuration, i);
        // Real-time: the queue may be full while the encoder works; wait for room, lose nothing.
        while (!input->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(input->append(frame));
    }
    input->markAsFinished();
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed) << (writer->error() ? writer->error()->description() : "");
}

// What must not depend on how the encoder was opened: the stream's parameters and the packets' times.
struct FileShape {
    nlohmann::json stream;
    std::string packetTimes;
};

FileShape shapeOf(const std::string& path) {
    auto stream = probe(path)["streams"].at(0);
    for (const char* varying : {"bit_rate", "tags", "disposition"}) stream.erase(varying);
    return {stream, run("ffprobe -v error -select_streams v -show_entries packet=pts_time,dts_time,duration_time "
                        "-of csv=p=0 '" + path + "'")};
}

struct PreparedCase {
    const char* name;
    std::optional<Hint> hint;
    bool hintLate;
    bool openedAhead;  // whether the track used the encoder opened for the hint
};

void PrintTo(const PreparedCase& c, std::ostream* out) { *out << c.name; }

class PreparedEncoder : public testing::TestWithParam<PreparedCase> {};

TEST_P(PreparedEncoder, IsUsedOnlyForTheHintedSettingsAndTheFileIsTheSame) {
    const auto& c = GetParam();
    test_support::TemporaryDirectory folder;
    Openings plain, hinted;
    writeFile(folder.file("plain.mp4"), std::nullopt, false, plain);
    writeFile(folder.file("hinted.mp4"), c.hint, c.hintLate, hinted);
    EXPECT_EQ(plain.openedAhead, std::vector<bool>{false});
    EXPECT_EQ(hinted.openedAhead, std::vector<bool>{c.openedAhead});

    const FileShape expected = shapeOf(folder.file("plain.mp4"));
    const FileShape actual = shapeOf(folder.file("hinted.mp4"));
    EXPECT_EQ(actual.stream, expected.stream);
    EXPECT_EQ(actual.packetTimes, expected.packetTimes);
    EXPECT_EQ(actual.stream["width"], kWidth);
    EXPECT_EQ(actual.stream["height"], kHeight);
    EXPECT_EQ(actual.stream["codec_name"], "h264");
    EXPECT_EQ(number(actual.stream["nb_read_packets"]), kFrames);
}

Hint withPixelFormat(Hint hint, FourCharCode format) {
    hint.pixelFormat = format;
    return hint;
}

const Hint kSame{screenSettings(VideoCodecType::h264, kWidth, kHeight)};

INSTANTIATE_TEST_SUITE_P(
    Hints, PreparedEncoder,
    testing::Values(PreparedCase{"SameSettings", kSame, false, true},
                    PreparedCase{"OtherSize", Hint{screenSettings(VideoCodecType::h264, 320, 180)}, false, false},
                    PreparedCase{"OtherCodec", Hint{screenSettings(VideoCodecType::hevc, kWidth, kHeight)}, false, false},
                    PreparedCase{"OtherPixelFormat", withPixelFormat(kSame, pixel_format::argb2101010), false, false},
                    PreparedCase{"AfterTheStart", kSame, true, false},
                    // A size no file takes is not prepared; the input is encoded as without a hint.
                    PreparedCase{"UnusableSize", Hint{screenSettings(VideoCodecType::h264, 1, kHeight)}, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A writer hinted and then released without an input or a sample leaves no file, and
// its encoder opened ahead goes with it.
TEST(PreparedEncoderUnused, AWriterReleasedWithoutSamplesLeavesNoFile) {
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("unused.mp4");
    auto writers = linux_backend::makeFfmpegAssetWriters();
    for (bool started : {false, true}) {
        auto writer = writers->makeWriter(path, FileType::mpeg4);
        writer->prepareVideoInput(kSame.settings, kSame.pixelFormat);
        if (started) {
            ASSERT_TRUE(writer->startWriting());
        }
        writer.reset();
        EXPECT_FALSE(std::filesystem::exists(path)) << "started " << started;
    }
}

// HEVC has no encoder for a side under 16 pixels: the hint says so with the size, while
// the recording can still be refused, and such an input is never added. H.264 takes them.
TEST(PreparedEncoderRefusal, HevcBelow16PixelsASideIsRefusedWithItsSize) {
    test_support::TemporaryDirectory folder;
    auto writers = linux_backend::makeFfmpegAssetWriters();
    struct Case {
        VideoCodecType codec;
        int32_t width, height;
        bool refused;
    };
    const Case cases[] = {{VideoCodecType::hevc, 8, 8, true},    {VideoCodecType::hevc, 1920, 3, true},
                          {VideoCodecType::hevc, 17, 16, false}, {VideoCodecType::h264, 2, 2, false},
                          {VideoCodecType::h264, 1920, 2, false}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        auto writer = writers->makeWriter(folder.file("small-" + std::to_string(n++) + ".mp4"), FileType::mpeg4);
        const VideoSettings settings = screenSettings(c.codec, c.width, c.height);
        if (c.refused) {
            try {
                writer->prepareVideoInput(settings, pixel_format::bgra);
                ADD_FAILURE() << "not refused";
            } catch (const PlatformError& error) {
                const std::string size = std::to_string(c.width & ~1) + " x " + std::to_string(c.height & ~1);
                EXPECT_NE(std::string(error.what()).find(size), std::string::npos) << error.what();
            }
        } else {
            EXPECT_NO_THROW(writer->prepareVideoInput(settings, pixel_format::bgra));
        }
        EXPECT_EQ(writer->canAddInput(writers->makeInput(MediaType::video, settings)), !c.refused);
    }
}

} // namespace
