#pragma once
// Media assets: what a media file holds, as the container states it. An asset
// is read whole when it is loaded; its duration and tracks are plain values.

#include "platform/format_description.h"
#include "platform/media_time.h"

#include <memory>
#include <string>
#include <vector>

namespace platform {

// Error domain of the asset loads, with its codes.
inline constexpr const char* kMediaAssetErrorDomain = "MediaAssetErrorDomain";
enum MediaAssetErrorCode : int64_t {
    // The file cannot be opened or is not a container the media library knows.
    mediaAssetCannotOpen = -11828,
    // The container opened but its streams could not be read.
    mediaAssetCannotRead = -11829,
    // Reading took longer than the load allows (a hostile or stalled file).
    mediaAssetTimedOut = -11830,
};

struct MediaSize {
    double width = 0;
    double height = 0;
};

// One track and the properties the prober reads of it.
struct MediaTrack {
    MediaType mediaType = MediaType::video;
    // Frames per second; 0 when unknown.
    float nominalFrameRate = 0;
    // Its timescale is the track's own timescale, even when the value is unknown (invalid).
    MediaTime minFrameDuration = MediaTime::invalid();
    // The stored frame size: no rotation, no aspect correction.
    MediaSize naturalSize;
    // Bits per second; 0 when unknown.
    float estimatedDataRate = 0;
    std::vector<std::shared_ptr<const FormatDescription>> formatDescriptions;
    // Start and duration in the track's own timescale; invalid parts are unknown.
    MediaTimeRange timeRange{MediaTime::invalid(), MediaTime::invalid()};
};

struct MediaAsset {
    // The container's duration; invalid when the container states none.
    MediaTime duration = MediaTime::invalid();
    // In container order. A cover picture is not a video track.
    std::vector<MediaTrack> tracks;

    std::vector<MediaTrack> tracksWithMediaType(MediaType type) const {
        std::vector<MediaTrack> matching;
        for (const auto& track : tracks)
            if (track.mediaType == type) matching.push_back(track);
        return matching;
    }
};

class MediaAssets {
public:
    virtual ~MediaAssets() = default;
    // Opens the file at `path` and reads its duration and tracks. Blocks until
    // done; safe to call from many threads at once. Throws PlatformError of
    // kMediaAssetErrorDomain when the file cannot be opened or read, and gives
    // up with mediaAssetTimedOut rather than hang on a hostile file.
    virtual MediaAsset load(const std::string& path) = 0;
};

} // namespace platform
