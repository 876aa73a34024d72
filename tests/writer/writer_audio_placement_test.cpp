// Audio lands at its presentation times: gaps become silence, overlaps are
// trimmed, jitter is left alone, and the session start is the file's time zero.
// Apple Lossless keeps the sample values, so the decoded file shows where each
// buffer went.

#include "writer_test_support.h"

#include "platform/linux/ffmpeg_asset_writers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

using namespace platform;
using namespace writer_test;

namespace {

constexpr int32_t kRate = 48000;
const MediaTime kSessionStart = MediaTime::make(5 * kRate, kRate);

struct BufferRun {  // consecutive 10 ms buffers of one constant value
    double start;  // seconds from the session start
    double length;
    float value;
    double jitter = 0;  // from the second buffer on, alternately taken from and added to its time
};
struct Segment {
    double length;
    int16_t value;
};
struct PlacementCase {
    const char* name;
    std::vector<BufferRun> runs;
    std::vector<Segment> expected;
};

class AudioPlacement : public testing::TestWithParam<PlacementCase> {};

TEST_P(AudioPlacement, DecodedFileHasEachBufferAtItsTime) {
    const PlacementCase& c = GetParam();
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("placed.m4a");
    auto writers = linux_backend::makeFfmpegAssetWriters();
    auto writer = writers->makeWriter(path, FileType::appleM4A);
    auto input = writers->makeInput(MediaType::audio, AudioSettings{audio_format::appleLossless, kRate, 1, {}, 16});
    writer->addInput(input);
    ASSERT_TRUE(writer->startWriting());
    writer->startSession(kSessionStart);
    for (const BufferRun& run : c.runs) {
        const int64_t first = std::llround(run.start * kRate);
        const int64_t count = std::llround(run.length * kRate);
        constexpr int64_t perBuffer = kRate / 100;
        for (int64_t offset = 0, index = 0; offset < count; offset += perBuffer, ++index) {
            const double jitter = index == 0 ? 0 : (index % 2 ? -1 : 1) * run.jitter;
            const MediaTime pts = kSessionStart + MediaTime::make(first + offset + std::llround(jitter * kRate), kRate);
            const auto buffer = audioBuffer(kRate, 1, std::min(perBuffer, count - offset), pts,
                                            [&](int64_t, uint32_t) { return run.value; });
            ASSERT_TRUE(input->append(buffer));  // not real-time: waits for room
        }
    }
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed);

    const std::vector<int16_t> decoded = decodeAudioS16(path);
    size_t position = 0;
    for (const Segment& segment : c.expected) {
        const size_t length = static_cast<size_t>(std::llround(segment.length * kRate));
        ASSERT_LE(position + length, decoded.size()) << "file too short";
        size_t matching = 0;
        for (size_t i = position; i < position + length; ++i) matching += decoded[i] == segment.value;
        EXPECT_EQ(matching, length) << "segment at " << double(position) / kRate << " s should be " << segment.value;
        position += length;
    }
    EXPECT_EQ(decoded.size(), position) << "file length";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioPlacement,
    testing::Values(
        PlacementCase{"gap_becomes_silence", {{0, 0.5, 0.25f}, {1.0, 0.5, 0.5f}}, {{0.5, 8192}, {0.5, 0}, {0.5, 16384}}},
        PlacementCase{"overlap_is_trimmed", {{0, 1.0, 0.25f}, {0.5, 1.0, 0.5f}}, {{1.0, 8192}, {0.5, 16384}}},
        PlacementCase{"jitter_is_left_alone", {{0, 0.5, 0.25f, 0.004}}, {{0.5, 8192}}},
        PlacementCase{"audio_before_the_session_start_is_cut", {{-0.1, 0.3, 0.25f}}, {{0.2, 8192}}},
        PlacementCase{"late_first_sample_starts_after_silence", {{0.05, 0.2, 0.25f}}, {{0.05, 0}, {0.2, 8192}}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
