#pragma once
// The duration a probe reports: the asset's own figure unless the first track
// of the requested type disagrees by more than a millisecond.

#include "platform/media_asset.h"

namespace mediainfo {

// Milliseconds, not rounded. Throws MediaInfoError: noVideoTrack or
// noAudioTrack when the asset has no such track, loadFailed when no source
// gives a duration.
double accurateDurationMs(const platform::MediaAsset& asset, platform::MediaType mediaType);

} // namespace mediainfo
