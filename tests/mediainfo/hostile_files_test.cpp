// Files made to hurt a prober: the head of a real file followed by zeros,
// either 2 GiB of them as a hole (a sparse file, costing no disk) or 40 MiB
// written out (more than a load may read). Each must be answered quickly,
// within a bounded amount of memory, and a load that runs out of time must say so.

#include "MediaInfo/MediaInfo.h"
#include "platform/linux/ffmpeg_media_assets.h"

#include "fixtures.h"
#include "iso_boxes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace mediainfo;
using namespace std::chrono_literals;

namespace {

constexpr std::uintmax_t kClaimedSize = std::uintmax_t{2} << 30;

constexpr size_t kWrittenZeros = size_t{40} << 20;

// The first 4000 bytes of a fixture, then zeros: a hole up to 2 GiB, or 40 MiB written.
std::string zerosAfterHead(const std::string& fixture, const std::string& name, bool sparse) {
    std::string target = fixtures::directory() + "/" + name;
    if (std::filesystem::exists(target)) return target;
    std::ifstream source(fixtures::path(fixture), std::ios::binary);
    std::string head(4000, '\0');
    source.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(source.gcount()));
    std::ofstream out(target, std::ios::binary);
    out << head;
    if (!sparse) out << std::string(kWrittenZeros, '\0');
    out.close();
    if (sparse) std::filesystem::resize_file(target, kClaimedSize);
    return target;
}

// The peak resident memory of this process since the last reset, in bytes.
int64_t peakResidentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    return -1;
}
int64_t residentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    return -1;
}
// Starts a new peak at the present resident size.
bool resetPeak() { return static_cast<bool>(std::ofstream("/proc/self/clear_refs") << "5"); }

struct HostileCase {
    const char* fixture;
    const char* name;
    bool sparse;
};

std::ostream& operator<<(std::ostream& out, const HostileCase& c) { return out << c.name; }

const HostileCase kHostile[] = {
    {"mp3", "hole-after-head.mp3", true},
    {"mkv", "hole-after-head.mkv", true},
    {"wav-s16", "hole-after-head.wav", true},
    {"ts", "transport-stream-hole.mp4", true},
    {"mp3", "zeros-after-head.mp3", false},
    {"mkv", "zeros-after-head.mkv", false},
    {"wav-s16", "zeros-after-head.wav", false},
    {"ts", "transport-stream-zeros.mp4", false},
};

bool isTimeout(const MediaInfoResult& result) {
    return result.error && result.error->find("Code=" + std::to_string(platform::mediaAssetTimedOut)) != std::string::npos;
}

class HostileFiles : public testing::TestWithParam<HostileCase> {};

} // namespace

namespace {

// One load measured: its answer, its time and how much the process's peak
// resident size grew, with the libraries loaded and warmed before.
struct MeasuredLoad {
    MediaInfoResult result;
    std::chrono::steady_clock::duration elapsed;
    int64_t grownBytes;
};

MeasuredLoad measureLoad(const std::string& file) {
    platform::linux_backend::MediaAssetLimits limits;
    limits.deadline = 120s;
    auto assets = platform::linux_backend::makeFfmpegMediaAssets(limits);
    getMediaInfo(fixtures::path("mp3"), *assets);

    EXPECT_TRUE(resetPeak()) << "the peak resident size cannot be reset here";
    int64_t before = residentBytes();
    auto start = std::chrono::steady_clock::now();
    MediaInfoResult result = getMediaInfo(file, *assets);
    auto elapsed = std::chrono::steady_clock::now() - start;
    return {result, elapsed, peakResidentBytes() - before};
}

// Memory: a load reads at most 24 MiB, and what the demuxer and parser keep of
// it (a parser looking for a frame start gathers the zeros it reads) or build
// from what its header claims stays within the per-file bound of 64 MiB.
void expectWithinTheBounds(const MeasuredLoad& load) {
    EXPECT_FALSE(load.result.error && isTimeout(load.result)) << *load.result.error;
    EXPECT_LT(load.elapsed, 5s) << std::chrono::duration<double>(load.elapsed).count() << " s";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's allocator pads every block and holds freed ones back for a
    // while: the figure says nothing of the program's own memory there.
#else
    EXPECT_LE(load.grownBytes, int64_t{64} << 20) << load.grownBytes / 1024 / 1024 << " MiB";
#endif
    testing::Test::RecordProperty("milliseconds",
                                  static_cast<int>(std::chrono::duration<double, std::milli>(load.elapsed).count()));
    testing::Test::RecordProperty("peakGrowthKiB", static_cast<int>(load.grownBytes / 1024));
}

} // namespace

// The goal is an answer within 5 s whatever the file holds; this machine
// answers these in 0.3 s at most, because a load reads at most its byte budget
// (and nothing of a hole that runs to the end of the file).
// The deadline is set far away here so that the bound shown is the budget's,
// not the deadline's; 5 s leaves a loaded machine more than ten times the need.
TEST_P(HostileFiles, AnsweredQuicklyWithinTheMemoryBoundAndNotAsATimeout) {
    std::string file = zerosAfterHead(GetParam().fixture, GetParam().name, GetParam().sparse);
    MeasuredLoad load = measureLoad(file);
    EXPECT_EQ(load.result.path, file);
    EXPECT_NE(load.result.info.has_value(), load.result.error.has_value());
    expectWithinTheBounds(load);
}

// With no time at all, every file, hostile or not, is reported as a timeout,
// never as a file without tracks or of an unsupported kind.
TEST_P(HostileFiles, ALoadOutOfTimeIsReportedAsATimeout) {
    std::string file = zerosAfterHead(GetParam().fixture, GetParam().name, GetParam().sparse);
    platform::linux_backend::MediaAssetLimits limits;
    limits.deadline = 0ms;
    auto assets = platform::linux_backend::makeFfmpegMediaAssets(limits);
    MediaInfoResult result = getMediaInfo(file, *assets);
    ASSERT_TRUE(result.error);
    EXPECT_TRUE(isTimeout(result)) << *result.error;
    // An ordinary mkv is looked into to decide its kind: that look timing out is a timeout too.
    result = getMediaInfo(fixtures::path("mkv"), *assets);
    EXPECT_TRUE(isTimeout(result)) << result.error.value_or("an answer");
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileFiles, testing::ValuesIn(kHostile), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

// Headers that claim what no file of their size could hold: sample tables the
// demuxer builds its index from without reading anything more, a chunk it
// allocates and zeroes before reading it. A few kilobytes made a probe take
// gigabytes. Such a file is answered quickly and within the per-file bound, an
// mp4 claiming too many samples refused for it; files whose tables fit what they
// hold still load.
namespace {

enum class Outcome {
    refusedForItsTables,
    answered,
    // Not refused for its tables (the prober's own rules may still refuse it).
    notRefusedForItsTables,
    anyAnswer,
};

struct ClaimCase {
    const char* name;
    std::string (*contents)();
    Outcome outcome;
};

std::ostream& operator<<(std::ostream& out, const ClaimCase& c) { return out << c.name; }

using iso_boxes::Track;

// Thirteen tracks of six million samples of one stated size each.
std::string constantSizeSamples() {
    std::string tracks;
    for (int index = 0; index < 13; ++index)
        tracks += iso_boxes::track(Track{.samples = 6'000'000, .samplesPerChunk = 6'000'000});
    return iso_boxes::movie(tracks);
}

std::string manyTracksOfStatedSizes() { return iso_boxes::file(constantSizeSamples()); }

std::string editsRepeatingATrack() {
    return iso_boxes::file(
        iso_boxes::movie(iso_boxes::track(Track{.samples = 100'000, .samplesPerChunk = 100'000, .edits = 1000})));
}

// A fragment whose run states fifty million samples and no field for any.
std::string fragmentRunWithoutFields() {
    using namespace iso_boxes;
    std::string trackExtends = fullBox("trex", 0, u32(1) + u32(1) + u32(1) + u32(16) + u32(0));
    std::string fragment =
        box("moof", fullBox("mfhd", 0, u32(1)) +
                        box("traf", fullBox("tfhd", 0, u32(1)) + fullBox("trun", 0, u32(50'000'000))));
    return file(movie(track(Track{}) + box("mvex", trackExtends)) + fragment + box("mdat", std::string(64, '\0')));
}

std::string compressedMovieHeader() { return iso_boxes::file(iso_boxes::compressedMovie(constantSizeSamples())); }

// The movie header behind a box of a kind the demuxer steps over unread, larger
// than a load may read.
std::string movieHeaderAfterALargeUnreadBox() {
    std::string unread = iso_boxes::box("uuid", std::string(16, '\x5a') + std::string(size_t{30} << 20, '\0'));
    return iso_boxes::file(unread + constantSizeSamples());
}

// A WAV file whose information list holds a software name said to be 1.6 GB long.
std::string infoChunkClaimingGigabytes() {
    auto le32 = [](uint32_t value) {
        std::string bytes(4, '\0');
        for (int index = 0; index < 4; ++index) bytes[index] = static_cast<char>(value >> (8 * index));
        return bytes;
    };
    std::string format = le32(0x00010001) + le32(48000) + le32(96000) + le32(0x00100002);
    return "RIFF" + le32(0xfffffff0) + "WAVE" + "fmt " + le32(16) + format + "LIST" + le32(0xf0000000) + "INFO" +
           "ISFT" + le32(1'600'000'000) + "Lavf" + "data" + le32(96000) + std::string(96000, '\0');
}

// The header of a recording cut before its media data: half a million samples, no bytes for them.
std::string headerOfACutRecording() {
    return iso_boxes::file(iso_boxes::movie(
        iso_boxes::track(Track{.samples = 500'000, .sampleSize = 1000, .samplesPerChunk = 500'000, .edits = 1})));
}

// Half an hour of 16-bit PCM in one-second chunks: 86 million samples,
// indexed by chunk.
std::string uncompressedAudio() {
    return iso_boxes::file(iso_boxes::movie(iso_boxes::track(
        Track{.sound = true, .samples = 86'400'000, .sampleSize = 2, .samplesPerChunk = 48'000, .chunks = 1800})));
}

// Two million samples of 8 bytes, all present in the file.
std::string samplesTheFileHolds() {
    constexpr uint32_t kSamples = 2'000'000, kSampleSize = 8;
    auto header = [](uint32_t dataOffset) {
        return iso_boxes::file(iso_boxes::movie(iso_boxes::track(Track{.samples = kSamples,
                                                                       .sampleSize = kSampleSize,
                                                                       .samplesPerChunk = kSamples,
                                                                       .firstChunkOffset = dataOffset})));
    };
    std::string head = header(0);
    head = header(static_cast<uint32_t>(head.size() + 8));
    return head + iso_boxes::box("mdat", std::string(size_t{kSamples} * kSampleSize, '\1'));
}

const ClaimCase kClaims[] = {
    {"many-tracks-of-stated-sizes.mp4", manyTracksOfStatedSizes, Outcome::refusedForItsTables},
    {"edits-repeating-a-track.mp4", editsRepeatingATrack, Outcome::refusedForItsTables},
    {"fragment-run-without-fields.mp4", fragmentRunWithoutFields, Outcome::refusedForItsTables},
    {"compressed-movie-header.mov", compressedMovieHeader, Outcome::refusedForItsTables},
    {"movie-header-after-a-large-unread-box.mp4", movieHeaderAfterALargeUnreadBox, Outcome::refusedForItsTables},
    {"info-chunk-claiming-gigabytes.wav", infoChunkClaimingGigabytes, Outcome::anyAnswer},
    {"header-of-a-cut-recording.mp4", headerOfACutRecording, Outcome::answered},
    {"uncompressed-audio.mov", uncompressedAudio, Outcome::notRefusedForItsTables},
    {"samples-the-file-holds.mp4", samplesTheFileHolds, Outcome::answered},
};

class ClaimingHeaders : public testing::TestWithParam<ClaimCase> {};

} // namespace

TEST_P(ClaimingHeaders, AreAnsweredWithinTheBoundsAndRefusedForTablesTheFileCannotHold) {
    std::string file = fixtures::directory() + "/" + GetParam().name;
    std::ofstream(file, std::ios::binary) << GetParam().contents();
    MeasuredLoad load = measureLoad(file);
    expectWithinTheBounds(load);
    bool refused = load.result.error && load.result.error->find("sample tables claim more samples than it holds") !=
                                            std::string::npos;
    switch (GetParam().outcome) {
    case Outcome::refusedForItsTables:
        EXPECT_TRUE(refused) << load.result.error.value_or("an answer");
        EXPECT_NE(load.result.error->find("Code=" + std::to_string(platform::mediaAssetCannotRead)), std::string::npos);
        break;
    case Outcome::answered:
        EXPECT_TRUE(load.result.info) << load.result.error.value_or("");
        break;
    case Outcome::notRefusedForItsTables:
        EXPECT_FALSE(refused) << *load.result.error;
        break;
    case Outcome::anyAnswer:
        EXPECT_NE(load.result.info.has_value(), load.result.error.has_value());
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Headers, ClaimingHeaders, testing::ValuesIn(kClaims), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});
