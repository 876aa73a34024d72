#pragma once
// Whether a file is probed as video or audio: by its extension, and for the
// containers that hold either kind ("webm", "mkv") by the tracks inside.

#include "platform/media_asset.h"

#include <optional>
#include <string>

namespace mediainfo {

// "video", "audio", or absent when the type cannot be decided. Fails only when
// looking into the file timed out (mediaAssetTimedOut).
std::optional<std::string> detectMediaType(const std::string& path, platform::MediaAssets& assets);
// "video" when the file has a video track, else "audio" when it has an audio
// track, else absent (also when it cannot be opened); a timed-out load fails.
std::optional<std::string> probeMediaType(const std::string& path, platform::MediaAssets& assets);

} // namespace mediainfo
