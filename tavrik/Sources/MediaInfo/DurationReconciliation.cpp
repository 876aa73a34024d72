#include "MediaInfo/DurationReconciliation.h"

#include "MediaInfo/MediaInfoError.h"

#include <cmath>
#include <optional>

namespace mediainfo {
namespace {

constexpr double kAgreementSeconds = 0.001;

// The track duration from its raw value and timescale, ignoring the time's
// flags: audio tracks whose range is marked unknown often still carry it.
std::optional<double> rawAudioSeconds(const platform::MediaTrack& track) {
    if (track.formatDescriptions.empty() || !track.formatDescriptions.front() ||
        !track.formatDescriptions.front()->audio)
        return std::nullopt;
    if (!(track.formatDescriptions.front()->audio->sampleRate > 0)) return std::nullopt;
    const platform::MediaTime& duration = track.timeRange.duration;
    if (duration.timescale < 1) return std::nullopt;
    double seconds = static_cast<double>(duration.value) / static_cast<double>(duration.timescale);
    if (!(seconds > 0)) return std::nullopt;
    return seconds;
}

double preferDisagreeing(double asset, double other) {
    return std::fabs(asset - other) > kAgreementSeconds ? other : asset;
}

} // namespace

double accurateDurationMs(const platform::MediaAsset& asset, platform::MediaType mediaType) {
    double assetSeconds = asset.duration.seconds();
    bool assetUsable = asset.duration.isValid() && !asset.duration.isIndefinite() && assetSeconds > 0;

    auto tracks = asset.tracksWithMediaType(mediaType);
    if (tracks.empty()) {
        throw mediaType == platform::MediaType::video ? MediaInfoError::noVideoTrack()
                                                      : MediaInfoError::noAudioTrack();
    }
    const platform::MediaTrack& track = tracks.front();

    double trackSeconds = track.timeRange.duration.seconds();
    bool trackCounts = trackSeconds > 0;
    std::optional<double> rawSeconds;
    if (mediaType == platform::MediaType::audio) rawSeconds = rawAudioSeconds(track);

    double chosen;
    if (trackCounts) {
        chosen = assetUsable ? preferDisagreeing(assetSeconds, trackSeconds) : trackSeconds;
    } else if (rawSeconds) {
        chosen = assetUsable ? preferDisagreeing(assetSeconds, *rawSeconds) : *rawSeconds;
    } else if (assetUsable) {
        chosen = assetSeconds;
    } else {
        throw MediaInfoError::loadFailed("Could not determine audio duration from any source");
    }
    return chosen * 1000;
}

} // namespace mediainfo
