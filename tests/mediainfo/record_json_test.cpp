#include "MediaInfo/MediaInfoError.h"
#include "MediaInfo/MediaInfoJson.h"
#include "Tavrik/JsonWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

using namespace mediainfo;
using nlohmann::json;

namespace {

VideoInfo sampleVideo() {
    VideoInfo v;
    v.width = 1920;
    v.height = 1080;
    v.framerate = 30;
    v.framerateRational = v.avgFrameRate = v.realFrameRate = "30/1";
    v.durationMs = 1500.5;
    v.startTimeMs = 0;
    v.totalFrames = 45;
    v.timeBase = "1/600";
    v.bitrate = 1000000;
    v.codec = "avc1";
    v.pixelFormat = "yuv420p";
    v.level = -99;
    v.msPerFrame = 1000.0 / 30;
    v.hasAudio = true;
    return v;
}

AudioInfo sampleAudio() {
    AudioInfo a;
    a.codec = "aac";
    a.sampleRate = 48000;
    a.channels = 2;
    a.channelLayout = "stereo";
    a.bitrate = 128000;
    a.durationMs = 2500;
    a.startTimeMs = 0;
    a.timeBase = "1/48000";
    a.sampleFormat = "s0";
    a.totalSamples = 120000;
    return a;
}

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

} // namespace

TEST(MediaInfoJson, VideoObjectHasTypeAndSeventeenKeysAtOneLevel) {
    VideoInfo withProfile = sampleVideo();
    withProfile.profile = "H.264";
    json object = toJson(MediaInfo{withProfile});
    EXPECT_EQ(keysOf(object), (std::set<std::string>{"type", "width", "height", "framerate", "durationMs", "bitrate",
                                                       "codec", "level", "framerateRational", "startTime",
                                                       "totalFrames", "avgFrameRate", "realFrameRate", "timeBase",
                                                       "pixelFormat", "profile", "msPerFrame", "hasAudio"}));
    EXPECT_EQ(object["type"], "video");
    EXPECT_EQ(object["profile"], "H.264");

    json withoutProfile = toJson(MediaInfo{sampleVideo()});
    EXPECT_EQ(withoutProfile.size(), 17u);
    EXPECT_FALSE(withoutProfile.contains("profile")) << "an absent profile is left out, not null";
}

TEST(MediaInfoJson, AudioObjectHasTypeAndElevenKeys) {
    json object = toJson(MediaInfo{sampleAudio()});
    EXPECT_EQ(keysOf(object), (std::set<std::string>{"type", "codec", "sampleRate", "channels", "channelLayout",
                                                       "bitrate", "durationMs", "timeBase", "sampleFormat",
                                                       "totalSamples", "hasVideo", "startTime"}));
    EXPECT_EQ(object["type"], "audio");
    EXPECT_TRUE(object["sampleRate"].is_number_integer());
    EXPECT_TRUE(object["hasVideo"].is_boolean());
}

TEST(MediaInfoJson, ResultCarriesEitherInfoOrError) {
    EXPECT_EQ(keysOf(toJson(MediaInfoResult{"/a.mp4", MediaInfo{sampleAudio()}, std::nullopt})),
              (std::set<std::string>{"path", "info"}));
    EXPECT_EQ(keysOf(toJson(MediaInfoResult{"/a.mp4", std::nullopt, "no video track found"})),
              (std::set<std::string>{"path", "error"}));
}

TEST(MediaInfoJson, WireTextKeepsWholeNumbersAndEscapesSlashes) {
    auto text = tavrik::writeJson(toJson(MediaInfoResult{"/tmp/a.mp4", MediaInfo{sampleVideo()}, std::nullopt}));
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("\"framerate\":30,"), std::string::npos) << *text;
    EXPECT_NE(text->find("\"durationMs\":1500.5"), std::string::npos) << *text;
    EXPECT_NE(text->find("\\/tmp\\/a.mp4"), std::string::npos) << *text;
    EXPECT_EQ(text->find(' '), std::string::npos) << "compact";
}

TEST(MediaInfoJson, NonFiniteValueHasNoJsonFormAndIsNamed) {
    VideoInfo video = sampleVideo();
    video.durationMs = std::nan("");
    EXPECT_FALSE(tavrik::writeJson(toJson(MediaInfo{video})));
    EXPECT_EQ(nonFiniteField(MediaInfo{video}), "durationMs");

    AudioInfo audio = sampleAudio();
    audio.startTimeMs = INFINITY;
    EXPECT_EQ(nonFiniteField(MediaInfo{audio}), "startTime");
    EXPECT_EQ(nonFiniteField(MediaInfo{sampleAudio()}), std::nullopt);
}

TEST(MediaInfoJson, ReadsBackWhatItWrites) {
    VideoInfo video = sampleVideo();
    video.profile = "Apple ProRes 422";
    auto result = mediaInfoResultFromJson(toJson(MediaInfoResult{"/v.mov", MediaInfo{video}, std::nullopt}));
    ASSERT_TRUE(result && result->info);
    const auto& back = std::get<VideoInfo>(*result->info);
    EXPECT_EQ(back.profile, video.profile);
    EXPECT_EQ(back.startTimeMs, video.startTimeMs);
    EXPECT_EQ(back.msPerFrame, video.msPerFrame);
    EXPECT_EQ(back.width, 1920);

    auto audio = mediaInfoFromJson(toJson(MediaInfo{sampleAudio()}));
    ASSERT_TRUE(audio);
    EXPECT_EQ(std::get<AudioInfo>(*audio).totalSamples, 120000);
}

TEST(MediaInfoJson, DecodingRules) {
    json video = toJson(MediaInfo{sampleVideo()});
    struct Case {
        const char* what;
        json object;
        bool decodes;
    };
    auto with = [&](auto change) {
        json copy = video;
        change(copy);
        return copy;
    };
    const Case cases[] = {
        {"as written", video, true},
        {"profile null", with([](json& j) { j["profile"] = nullptr; }), true},
        {"unknown keys ignored", with([](json& j) { j["extra"] = 1; }), true},
        {"float field given an integer", with([](json& j) { j["durationMs"] = 1500; }), true},
        {"integer field given a whole float", with([](json& j) { j["width"] = 1920.0; }), true},
        {"type neither video nor audio", with([](json& j) { j["type"] = "image"; }), false},
        {"type missing", with([](json& j) { j.erase("type"); }), false},
        {"required key missing", with([](json& j) { j.erase("hasAudio"); }), false},
        {"startTimeMs is not startTime", with([](json& j) { j["startTimeMs"] = j["startTime"]; j.erase("startTime"); }), false},
        {"keys are case-sensitive", with([](json& j) { j["Width"] = j["width"]; j.erase("width"); }), false},
        {"integer field given a fraction", with([](json& j) { j["width"] = 19.5; }), false},
        {"integer field out of range", with([](json& j) { j["bitrate"] = 1e19; }), false},
        {"wrong type", with([](json& j) { j["codec"] = 5; }), false},
        {"profile not text", with([](json& j) { j["profile"] = 3; }), false},
    };
    for (const auto& c : cases) EXPECT_EQ(mediaInfoFromJson(c.object).has_value(), c.decodes) << c.what;

    EXPECT_FALSE(mediaInfoResultFromJson(json{{"error", "x"}})) << "path is required";
    EXPECT_TRUE(mediaInfoResultFromJson(json{{"path", "p"}, {"info", nullptr}, {"error", nullptr}}));
    EXPECT_FALSE(mediaInfoResultFromJson(json{{"path", "p"}, {"info", {{"type", "audio"}}}}))
        << "a broken info fails the whole result";
}

TEST(MediaInfoError, Messages) {
    const std::pair<MediaInfoError, std::string> cases[] = {
        {MediaInfoError::fileNotFound("/x/y.mp4"), "file not found: /x/y.mp4"},
        {MediaInfoError::fileNotFound(""), "file not found: "},
        {MediaInfoError::unsupportedExtension("TXT"), "unsupported or unrecognised extension: TXT"},
        {MediaInfoError::unsupportedExtension(""), "unsupported or unrecognised extension: "},
        {MediaInfoError::loadFailed("why"), "failed to load asset: why"},
        {MediaInfoError::noVideoTrack(), "no video track found"},
        {MediaInfoError::noAudioTrack(), "no audio track found"},
    };
    for (const auto& [error, message] : cases) EXPECT_EQ(error.message(), message);
}
