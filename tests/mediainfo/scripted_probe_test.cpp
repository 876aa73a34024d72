// The probes' rules on assets scripted to show each case.

#include "MediaInfo/MediaInfo.h"

#include "fixtures.h"
#include "scripted_media_assets.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

using namespace mediainfo;
using platform::MediaTime;

namespace {

// An existing (empty) file of the given name: the probes test existence first.
std::string existing(const std::string& name) {
    std::string file = fixtures::directory() + "/" + name;
    std::ofstream{file};
    return file;
}

VideoInfo probeVideo(ScriptedMediaAssets& assets, const std::string& path) {
    auto result = getMediaInfo(path, assets);
    if (!result.info) throw std::runtime_error(result.error.value_or("no info"));
    return std::get<VideoInfo>(*result.info);
}

AudioInfo probeAudio(ScriptedMediaAssets& assets, const std::string& path) {
    auto result = getMediaInfo(path, assets);
    if (!result.info) throw std::runtime_error(result.error.value_or("no info"));
    return std::get<AudioInfo>(*result.info);
}

std::string errorOf(ScriptedMediaAssets& assets, const std::string& path) {
    return getMediaInfo(path, assets).error.value_or("(no error)");
}

} // namespace

TEST(VideoProbe, FieldsFromTheFirstVideoTrack) {
    ScriptedMediaAssets assets;
    auto path = existing("fields.mp4");
    auto track = videoTrack(29.97f, 1919.9, 1080.2);
    auto format = std::make_shared<platform::FormatDescription>(*track.formatDescriptions[0]);
    format->extensions["FormatName"] = std::string("H.264");
    track.formatDescriptions = {format};
    track.timeRange.start = seconds(60, 600);
    auto second = videoTrack(60, 640, 480);
    assets.add(path, assetOf(seconds(1002, 100), {track, second, audioTrack()}));

    VideoInfo v = probeVideo(assets, path);
    EXPECT_EQ(v.width, 1919);
    EXPECT_EQ(v.height, 1080);
    EXPECT_EQ(v.framerate, 29.969999313354492) << "the 32-bit rate widened";
    EXPECT_EQ(v.framerateRational, "30000/1001");
    EXPECT_EQ(v.avgFrameRate, "30000/1001");
    EXPECT_EQ(v.realFrameRate, "30000/1001");
    EXPECT_DOUBLE_EQ(v.msPerFrame, 33.36670079783434);
    EXPECT_EQ(v.totalFrames, 300) << "29.97 x 10.02 s = 300.3";
    EXPECT_EQ(v.timeBase, "1/600");
    EXPECT_EQ(v.startTimeMs, 100);
    EXPECT_EQ(v.durationMs, 10000) << "the track's 10 s disagrees with the asset's 10.02 s";
    EXPECT_EQ(v.bitrate, 1000000);
    EXPECT_EQ(v.codec, "avc1");
    EXPECT_EQ(v.pixelFormat, "yuv420p");
    EXPECT_EQ(v.profile, "H.264");
    EXPECT_EQ(v.level, -99);
    EXPECT_TRUE(v.hasAudio);
}

TEST(VideoProbe, EdgeCases) {
    ScriptedMediaAssets assets;
    auto path = existing("edges.mp4");

    auto thirty = videoTrack(30);
    assets.add(path, assetOf(seconds(1002, 100), {thirty}));
    EXPECT_EQ(probeVideo(assets, path).totalFrames, 301) << "300.6 rounded, whatever durationMs says";
    EXPECT_FALSE(probeVideo(assets, path).hasAudio);

    auto still = videoTrack(0);
    still.minFrameDuration = MediaTime::invalid();
    still.formatDescriptions.clear();
    assets.add(path, assetOf(seconds(10, 1), {still}));
    VideoInfo v = probeVideo(assets, path);
    EXPECT_EQ(v.totalFrames, 0);
    EXPECT_EQ(v.msPerFrame, 0);
    EXPECT_EQ(v.framerateRational, "0/1");
    EXPECT_EQ(v.timeBase, "1/0");
    EXPECT_EQ(v.codec, "unknown");
    EXPECT_EQ(v.pixelFormat, "unknown");
    EXPECT_FALSE(v.profile);

    // An unknown asset length with a frame rate: no frame count, not undefined behaviour.
    assets.add(path, assetOf(MediaTime::indefinite(), {videoTrack(30)}));
    v = probeVideo(assets, path);
    EXPECT_EQ(v.totalFrames, 0);
    EXPECT_EQ(v.durationMs, 10000);

    auto huge = videoTrack(30, 1e30, NAN);
    huge.estimatedDataRate = INFINITY;
    assets.add(path, assetOf(seconds(10, 1), {huge}));
    v = probeVideo(assets, path);
    EXPECT_EQ(v.width, 0);
    EXPECT_EQ(v.height, 0);
    EXPECT_EQ(v.bitrate, 0);

    assets.add(path, assetOf(seconds(10, 1), {audioTrack()}));
    EXPECT_EQ(errorOf(assets, path), "no video track found");
}

TEST(AudioProbe, FieldsFromTheFirstAudioTrack) {
    ScriptedMediaAssets assets;
    auto path = existing("fields.m4a");
    auto track = audioTrack(48000, 2);
    track.formatDescriptions[0] = [&] {
        auto format = std::make_shared<platform::FormatDescription>(*track.formatDescriptions[0]);
        format->audio->formatFlags = platform::AudioStreamDescription::IsNonInterleaved;
        format->audio->bitsPerChannel = 16;
        return format;
    }();
    assets.add(path, assetOf(seconds(25, 10), {track, audioTrack(44100, 6), videoTrack()}));

    AudioInfo a = probeAudio(assets, path);
    EXPECT_EQ(a.codec, "aac");
    EXPECT_EQ(a.sampleRate, 48000);
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(a.channelLayout, "stereo");
    EXPECT_EQ(a.bitrate, 128000);
    EXPECT_EQ(a.durationMs, 10000);
    EXPECT_EQ(a.startTimeMs, 0);
    EXPECT_EQ(a.timeBase, "1/48000");
    EXPECT_EQ(a.sampleFormat, "s16p");
    EXPECT_EQ(a.totalSamples, 120000) << "from the asset's 2.5 s, not the reconciled duration";
    EXPECT_TRUE(a.hasVideo);
}

TEST(AudioProbe, EdgeCases) {
    ScriptedMediaAssets assets;
    auto path = existing("edges.wav");

    auto odd = audioTrack(22050.5, 6);
    odd.formatDescriptions[0] = std::make_shared<platform::FormatDescription>(*odd.formatDescriptions[0]);
    std::const_pointer_cast<platform::FormatDescription>(odd.formatDescriptions[0])->channelLayoutTag.reset();
    assets.add(path, assetOf(seconds(1, 1), {odd}));
    AudioInfo a = probeAudio(assets, path);
    EXPECT_EQ(a.sampleRate, 22050);
    EXPECT_EQ(a.timeBase, "1/22050");
    EXPECT_EQ(a.channelLayout, "6ch");
    EXPECT_FALSE(a.hasVideo);

    auto bare = audioTrack();
    auto noStream = std::make_shared<platform::FormatDescription>(*bare.formatDescriptions[0]);
    noStream->audio.reset();
    noStream->channelLayoutTag.reset();
    bare.formatDescriptions = {noStream};
    assets.add(path, assetOf(seconds(1, 1), {bare}));
    a = probeAudio(assets, path);
    EXPECT_EQ(a.codec, "aac");
    EXPECT_EQ(a.sampleRate, 0);
    EXPECT_EQ(a.channelLayout, "0ch");
    EXPECT_EQ(a.timeBase, "unknown");
    EXPECT_EQ(a.sampleFormat, "unknown");
    EXPECT_EQ(a.totalSamples, 0);

    bare.formatDescriptions.clear();
    assets.add(path, assetOf(seconds(1, 1), {bare}));
    a = probeAudio(assets, path);
    EXPECT_EQ(a.codec, "unknown");
    EXPECT_EQ(a.channelLayout, "0ch");

    // Rate times an unknown asset length: no sample count rather than undefined behaviour.
    assets.add(path, assetOf(MediaTime::invalid(), {audioTrack()}));
    EXPECT_EQ(probeAudio(assets, path).totalSamples, 0);

    assets.add(path, assetOf(seconds(1, 1), {videoTrack()}));
    EXPECT_EQ(errorOf(assets, path), "no audio track found");
}

TEST(ProbeEntry, NonFiniteValuesBecomeThatFilesError) {
    ScriptedMediaAssets assets;
    auto noStart = existing("nostart.mp4");
    auto track = videoTrack();
    track.timeRange.start = MediaTime::invalid();
    assets.add(noStart, assetOf(seconds(10, 1), {track}));
    EXPECT_EQ(errorOf(assets, noStart), "failed to load asset: startTime is not a finite number");

    auto endless = existing("endless.ogg");
    auto audio = audioTrack();
    audio.timeRange.duration = MediaTime::invalid();
    assets.add(endless, assetOf(MediaTime::positiveInfinity(), {audio}));
    EXPECT_EQ(errorOf(assets, endless), "failed to load asset: durationMs is not a finite number");

    auto fine = existing("fine.mp4");
    assets.add(fine, assetOf(seconds(10, 1), {videoTrack()}));
    auto results = getMediaInfoBulk({noStart, fine, endless}, assets);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(results[0].error);
    EXPECT_TRUE(results[1].info) << "the other files are still reported";
    EXPECT_TRUE(results[2].error);
}

TEST(ProbeEntry, FailuresAndTrimming) {
    ScriptedMediaAssets assets;
    auto broken = existing("broken.mp4");
    assets.fail(broken, platform::PlatformError(platform::kMediaAssetErrorDomain, platform::mediaAssetCannotOpen,
                                                "Cannot Open (bad)"));
    EXPECT_EQ(errorOf(assets, broken), "Error Domain=MediaAssetErrorDomain Code=-11828 \"Cannot Open (bad)\"")
        << "a platform error reports its description";

    auto good = existing("good.m4a");
    assets.add(good, assetOf(seconds(1, 1), {audioTrack()}));
    auto result = getMediaInfo(" \t" + good + "\u2003", assets);
    EXPECT_EQ(result.path, good);
    EXPECT_TRUE(result.info);
    EXPECT_FALSE(result.error);

    result = getMediaInfo(good + "\n", assets);
    EXPECT_EQ(result.path, good + "\n");
    EXPECT_EQ(result.error, "file not found: " + good + "\n");
    EXPECT_EQ(getMediaInfo("   ", assets).error, "file not found: ");
}

TEST(BulkProbe, AnswersInListOrderWhateverFinishesFirst) {
    ScriptedMediaAssets assets;
    auto slow = existing("slow.m4a");
    auto fast = existing("fast.mp4");
    assets.add(slow, assetOf(seconds(1, 1), {audioTrack()}), std::chrono::milliseconds(150));
    assets.add(fast, assetOf(seconds(1, 1), {videoTrack()}));
    auto results = getMediaInfoBulk({slow, fast}, assets);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].path, slow);
    EXPECT_TRUE(std::holds_alternative<AudioInfo>(*results[0].info));
    EXPECT_EQ(results[1].path, fast);
    EXPECT_TRUE(getMediaInfoBulk({}, assets).empty());
}

TEST(BulkProbe, PathsEqualAfterTrimmingShareOneProbe) {
    ScriptedMediaAssets assets;
    auto file = existing("same.m4a");
    assets.add(file, assetOf(seconds(1, 1), {audioTrack()}));
    auto results = getMediaInfoBulk({file, "  " + file, file + "\t"}, assets);
    ASSERT_EQ(results.size(), 3u);
    for (const auto& result : results) {
        EXPECT_EQ(result.path, file);
        EXPECT_TRUE(result.info);
    }
    EXPECT_EQ(assets.loads, 1) << "one file, probed once";
}

TEST(BulkProbe, OtherSpellingsAreOtherFiles) {
    // On Linux a name is bytes: "café" composed and decomposed are two names,
    // and here only the composed one exists.
    ScriptedMediaAssets assets;
    auto composed = existing("caf\u00e9.m4a");
    assets.add(composed, assetOf(seconds(1, 1), {audioTrack()}), std::chrono::milliseconds(50));
    std::string decomposed = fixtures::directory() + "/cafe\u0301.m4a";
    auto results = getMediaInfoBulk({decomposed, composed, decomposed}, assets);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].path, decomposed);
    EXPECT_EQ(results[0].error, "file not found: " + decomposed);
    EXPECT_EQ(results[1].path, composed);
    EXPECT_TRUE(results[1].info);
    EXPECT_EQ(results[2].path, decomposed);
}

TEST(BulkProbe, NeverMoreProbesAtOnceThanTheBound) {
    ScriptedMediaAssets assets;
    std::vector<std::string> paths;
    for (size_t i = 0; i < kBulkProbeThreads + 36; ++i) {
        paths.push_back(existing("many" + std::to_string(i) + ".m4a"));
        assets.add(paths.back(), assetOf(seconds(1, 1), {audioTrack()}), std::chrono::milliseconds(10));
    }
    auto results = getMediaInfoBulk(paths, assets);
    ASSERT_EQ(results.size(), paths.size());
    for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(results[i].path, paths[i]);
    EXPECT_LE(assets.maxInFlight, static_cast<int>(kBulkProbeThreads));
    EXPECT_GT(assets.maxInFlight, 1);
}

TEST(BulkProbe, WaitingFilesOverlapWellPastTheCoreCount) {
    // Three files a hardware thread, each waiting until all of them wait at
    // once: the request ends only because they all overlapped (no timing).
    int hardware = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int count = std::min(3 * hardware, static_cast<int>(kBulkProbeThreads));
    ScriptedMediaAssets assets;
    assets.gatherAt = count;
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        paths.push_back(existing("waiting" + std::to_string(i) + ".m4a"));
        assets.add(paths.back(), assetOf(seconds(1, 1), {audioTrack()}));
    }
    auto results = getMediaInfoBulk(paths, assets);
    ASSERT_EQ(results.size(), paths.size());
    EXPECT_EQ(assets.maxInFlight, count);
}
