// Real files made by ffmpeg, probed through the Linux backend, and checked
// field by field and against ffprobe where both state the same fact.

#include "MediaInfo/MediaInfo.h"
#include "MediaInfo/MediaInfoJson.h"
#include "platform/linux/linux_platform.h"

#include "fixtures.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace mediainfo;
using nlohmann::json;

namespace {

struct RealCase {
    const char* fixture;
    // Expected members of the "info" object (including "type"), or empty for a failure.
    json expected;
    // The expected error text, or its beginning when it ends with "*".
    const char* error;
    // Duration tolerance for audio: one packet, in milliseconds.
    double packetMs;
};

std::ostream& operator<<(std::ostream& out, const RealCase& c) { return out << c.fixture; }

const char* kAssetError = "Error Domain=MediaAssetErrorDomain Code=*";

const RealCase kCases[] = {
    {"mp4",
     {{"type", "video"}, {"codec", "avc1"}, {"width", 160}, {"height", 120}, {"framerate", 30},
      {"framerateRational", "30/1"}, {"avgFrameRate", "30/1"}, {"realFrameRate", "30/1"}, {"timeBase", "1/15360"},
      {"pixelFormat", "yuv420p"}, {"level", -99}, {"msPerFrame", 1000.0 / 30}, {"totalFrames", 30},
      {"startTime", 0}, {"hasAudio", true}},
     nullptr, 0},
    {"mov-prores",
     {{"type", "video"}, {"codec", "apcn"}, {"framerate", 25}, {"framerateRational", "25/1"}, {"totalFrames", 25},
      {"timeBase", "1/12800"}, {"msPerFrame", 40}, {"hasAudio", false}},
     nullptr, 0},
    {"m4v", {{"type", "video"}, {"codec", "avc1"}, {"pixelFormat", "yuv420p"}, {"hasAudio", false}}, nullptr, 0},
    {"mkv",
     {{"type", "video"}, {"codec", "avc1"}, {"framerate", 24}, {"framerateRational", "24/1"},
      {"pixelFormat", "unknown"}, {"hasAudio", true}},
     nullptr, 0},
    {"m4a-aac",
     {{"type", "audio"}, {"codec", "aac"}, {"sampleRate", 44100}, {"channels", 2}, {"channelLayout", "stereo"},
      {"sampleFormat", "s0"}, {"timeBase", "1/44100"}, {"totalSamples", 44100}, {"startTime", 0},
      {"hasVideo", false}},
     nullptr, 1024 / 44.1},
    {"m4a-alac",
     {{"type", "audio"}, {"codec", "alac"}, {"channels", 1}, {"channelLayout", "mono"}, {"sampleFormat", "s0"}},
     nullptr, 4096 / 44.1},
    {"m4a-aac-5.1", {{"type", "audio"}, {"codec", "aac"}, {"channels", 6}, {"channelLayout", "5.1"}}, nullptr, 1024 / 48.0},
    {"m4a-with-video", {{"type", "audio"}, {"codec", "aac"}, {"hasVideo", true}}, nullptr, 1024 / 44.1},
    {"wav-s16",
     {{"type", "audio"}, {"codec", "pcm_s16le"}, {"sampleFormat", "s16"}, {"channels", 2}, {"bitrate", 1411200},
      {"totalSamples", 44100}, {"startTime", 0}},
     nullptr, 1},
    {"wav-float",
     {{"type", "audio"}, {"codec", "pcm_s16le"}, {"sampleFormat", "flt"}, {"channels", 1}, {"bitrate", 1536000},
      {"timeBase", "1/48000"}},
     nullptr, 1},
    {"wav-quad", {{"type", "audio"}, {"channels", 4}, {"channelLayout", "4ch"}}, nullptr, 1},
    {"mp3", {{"type", "audio"}, {"codec", ".mp3"}, {"sampleRate", 44100}, {"sampleFormat", "s0"}}, nullptr, 1152 / 44.1},
    // Named by the stream's own format, as a plain mp3 file is, not by the "mp4a" entry.
    {"m4a-mp3", {{"type", "audio"}, {"codec", ".mp3"}, {"sampleRate", 44100}, {"channels", 1}}, nullptr, 1152 / 44.1},
    {"m4a-mp2", {{"type", "audio"}, {"codec", ".mp2"}, {"sampleRate", 44100}, {"channels", 1}}, nullptr, 1152 / 44.1},
    {"flac", {{"type", "audio"}, {"codec", "flac"}, {"sampleFormat", "s0"}, {"totalSamples", 44100}}, nullptr, 4608 / 44.1},
    {"webm-audio", {{"type", "audio"}, {"codec", "opus"}, {"sampleRate", 48000}, {"hasVideo", false}}, nullptr, 20},
    {"ogg-opus", {{"type", "audio"}, {"codec", "opus"}, {"sampleRate", 48000}}, nullptr, 20},
    {"mp4-audio-only", {}, "no video track found", 0},
    {"text", {}, "unsupported or unrecognised extension: TXT", 0},
    {"no-extension", {}, "unsupported or unrecognised extension: ", 0},
    {"garbage-webm", {}, "unsupported or unrecognised extension: webm", 0},
    {"directory-mp4", {}, kAssetError, 0},
    {"truncated-mp4", {}, kAssetError, 0},
    {"garbage-mp4", {}, kAssetError, 0},
    {"fifo-mp4", {}, kAssetError, 0},
};

class RealFiles : public testing::TestWithParam<RealCase> {
protected:
    static void SetUpTestSuite() { platform::install(platform::linux_backend::makeLinuxPlatform()); }
};

void expectError(const MediaInfoResult& result, const std::string& expected) {
    ASSERT_FALSE(result.info);
    ASSERT_TRUE(result.error);
    if (!expected.empty() && expected.back() == '*') {
        EXPECT_EQ(result.error->substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1)) << *result.error;
    } else {
        EXPECT_EQ(*result.error, expected);
    }
}

const json* firstStream(const json& probe, const std::string& type) {
    for (const auto& stream : probe["streams"])
        if (stream["codec_type"] == type && stream["disposition"].value("attached_pic", 0) == 0) return &stream;
    return nullptr;
}

double number(const json& value) { return value.is_string() ? std::stod(value.get<std::string>()) : value.get<double>(); }

void crossCheckVideo(const json& info, const json& probe, const std::string& fixture) {
    const json* video = firstStream(probe, "video");
    ASSERT_TRUE(video);
    EXPECT_EQ(info["width"], (*video)["width"]);
    EXPECT_EQ(info["height"], (*video)["height"]);
    EXPECT_EQ(info["totalFrames"].get<int64_t>(), std::stoll((*video)["nb_read_frames"].get<std::string>()));
    double frameMs = 1000 / info["framerate"].get<double>();
    EXPECT_NEAR(info["durationMs"].get<double>(), number(probe["format"]["duration"]) * 1000, frameMs);
    if (video->contains("bit_rate")) {
        EXPECT_EQ(info["bitrate"].get<int64_t>(), std::stoll((*video)["bit_rate"].get<std::string>()));
    }
    EXPECT_EQ(info["hasAudio"].get<bool>(), firstStream(probe, "audio") != nullptr);
    // The mov family stores a sample-entry code: the codec is that code.
    if (fixture != "mkv") {
        EXPECT_EQ(info["codec"], (*video)["codec_tag_string"]);
    }
    if (auto tags = video->find("tags"); tags != video->end() && tags->contains("encoder")) {
        EXPECT_EQ(info.value("profile", ""), (*tags)["encoder"]) << "the compressor name";
    }
}

void crossCheckAudio(const json& info, const json& probe, double packetMs) {
    const json* audio = firstStream(probe, "audio");
    ASSERT_TRUE(audio);
    EXPECT_EQ(info["sampleRate"].get<int64_t>(), std::stoll((*audio)["sample_rate"].get<std::string>()));
    EXPECT_EQ(info["channels"], (*audio)["channels"]);
    EXPECT_NEAR(info["durationMs"].get<double>(), number(probe["format"]["duration"]) * 1000, packetMs);
    if (audio->contains("bit_rate")) {
        EXPECT_EQ(info["bitrate"].get<int64_t>(), std::stoll((*audio)["bit_rate"].get<std::string>()));
    }
    EXPECT_EQ(info["hasVideo"].get<bool>(), firstStream(probe, "video") != nullptr);
}

} // namespace

TEST_P(RealFiles, ReportsEveryFieldAndAgreesWithFfprobe) {
    const RealCase& c = GetParam();
    const std::string& file = fixtures::path(c.fixture);
    MediaInfoResult result = getMediaInfo(file);
    EXPECT_EQ(result.path, file);
    if (c.error) return expectError(result, c.error);

    ASSERT_TRUE(result.info) << result.error.value_or("");
    EXPECT_FALSE(result.error);
    json info = toJson(*result.info);
    for (const auto& [key, value] : c.expected.items()) {
        ASSERT_TRUE(info.contains(key)) << key;
        if (value.is_number_float()) {
            EXPECT_DOUBLE_EQ(info[key].get<double>(), value.get<double>()) << key;
        } else {
            EXPECT_EQ(info[key], value) << key;
        }
    }
    // Every field holds a sound value.
    EXPECT_GT(info["durationMs"].get<double>(), 0);
    EXPECT_GT(info["bitrate"].get<int64_t>(), 0);
    EXPECT_TRUE(std::isfinite(info["startTime"].get<double>()));

    json probe = fixtures::ffprobe(file);
    if (info["type"] == "video") {
        EXPECT_EQ(info["level"], -99);
        crossCheckVideo(info, probe, c.fixture);
    } else {
        EXPECT_GT(info["totalSamples"].get<int64_t>(), 0);
        crossCheckAudio(info, probe, c.packetMs);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealFiles, testing::ValuesIn(kCases), [](const auto& info) {
    std::string name = info.param.fixture;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

TEST(RealFilesBulk, ManyFormatsInOneRequestKeepTheirOrder) {
    platform::install(platform::linux_backend::makeLinuxPlatform());
    std::vector<std::string> paths;
    for (const char* name : {"mp4", "flac", "text", "mkv", "webm-audio", "truncated-mp4", "wav-s16"})
        paths.push_back(fixtures::path(name));
    auto results = getMediaInfoBulk(paths);
    ASSERT_EQ(results.size(), paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(results[i].path, paths[i]);
        EXPECT_NE(results[i].info.has_value(), results[i].error.has_value());
        if (results[i].info) {
            EXPECT_EQ(toJson(*results[i].info), toJson(*getMediaInfo(paths[i]).info)) << paths[i];
        }
    }
}
