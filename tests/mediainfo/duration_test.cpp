#include "MediaInfo/DurationReconciliation.h"
#include "MediaInfo/MediaInfoError.h"

#include "scripted_media_assets.h"

#include <gtest/gtest.h>

using namespace mediainfo;
using platform::MediaTime;
using platform::MediaType;

namespace {

constexpr uint32_t kIndefinite = MediaTime::Valid | MediaTime::Indefinite;

struct Case {
    const char* what;
    MediaType type;
    MediaTime asset;
    MediaTime track;
    double sampleRate;  // audio only
    std::optional<double> expectedMs;
    const char* expectedError;
};

platform::MediaAsset assetFor(const Case& c) {
    platform::MediaTrack track = c.type == MediaType::video ? videoTrack() : audioTrack(c.sampleRate);
    track.timeRange.duration = c.track;
    return assetOf(c.asset, {track});
}

} // namespace

TEST(AccurateDuration, ChoosesBetweenAssetTrackAndRawTrackDurations) {
    const Case cases[] = {
        {"agreeing within 1 ms: asset", MediaType::video, seconds(10000, 1000), seconds(100005, 10000), 0, 10000, nullptr},
        {"disagreeing: track", MediaType::video, seconds(10000, 1000), seconds(105, 10), 0, 10500, nullptr},
        {"exactly 1 ms apart: asset", MediaType::video, seconds(10000, 1000), seconds(10001, 1000), 0, 10000, nullptr},
        {"asset zero", MediaType::video, seconds(0, 1000), seconds(1225, 100), 0, 12250, nullptr},
        {"asset invalid", MediaType::video, MediaTime::invalid(), seconds(1225, 100), 0, 12250, nullptr},
        {"asset indefinite", MediaType::audio, MediaTime::indefinite(), seconds(1225, 100), 48000, 12250, nullptr},
        {"no source for video", MediaType::video, MediaTime::invalid(), seconds(0, 600), 0, std::nullopt,
         "failed to load asset: Could not determine audio duration from any source"},
        {"raw track duration alone", MediaType::audio, MediaTime::invalid(), {480000, 48000, kIndefinite, 0}, 48000,
         10000, nullptr},
        {"raw track duration disagreeing", MediaType::audio, seconds(102, 10), {480000, 48000, kIndefinite, 0}, 48000,
         10000, nullptr},
        {"raw track duration agreeing", MediaType::audio, seconds(100004, 10000), {480000, 48000, kIndefinite, 0},
         48000, 10000.4, nullptr},
        {"raw duration needs a sample rate", MediaType::audio, MediaTime::invalid(), {480000, 48000, kIndefinite, 0}, 0,
         std::nullopt, "failed to load asset: Could not determine audio duration from any source"},
        {"raw duration ignored for video", MediaType::video, MediaTime::invalid(), {480000, 48000, kIndefinite, 0}, 0,
         std::nullopt, "failed to load asset: Could not determine audio duration from any source"},
        {"not rounded", MediaType::audio, seconds(15005, 10000), MediaTime::invalid(), 48000, 1500.5, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.expectedMs) {
            EXPECT_NEAR(accurateDurationMs(assetFor(c), c.type), *c.expectedMs, 1e-9);
        } else {
            try {
                accurateDurationMs(assetFor(c), c.type);
                ADD_FAILURE() << "expected a failure";
            } catch (const MediaInfoError& error) {
                EXPECT_EQ(error.message(), c.expectedError);
            }
        }
    }
}

TEST(AccurateDuration, MissingTrackOfTheRequestedType) {
    auto audioOnly = assetOf(seconds(1, 1), {audioTrack()});
    auto videoOnly = assetOf(seconds(1, 1), {videoTrack()});
    EXPECT_THROW(
        try { accurateDurationMs(audioOnly, MediaType::video); } catch (const MediaInfoError& e) {
            EXPECT_EQ(e.kind(), MediaInfoError::Kind::noVideoTrack);
            throw;
        },
        MediaInfoError);
    EXPECT_THROW(
        try { accurateDurationMs(videoOnly, MediaType::audio); } catch (const MediaInfoError& e) {
            EXPECT_EQ(e.kind(), MediaInfoError::Kind::noAudioTrack);
            throw;
        },
        MediaInfoError);
}
