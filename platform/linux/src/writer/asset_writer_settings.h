#pragma once
// Which output settings and inputs a file of a given type takes, and the muxer that writes it.

#include "platform/asset_writer.h"

#include <optional>
#include <string>

namespace platform::linux_backend {

// Whether a file of this type takes a video track with these settings (ProRes only in a movie).
bool fileTypeTakes(FileType type, const VideoSettings& video);
// Video settings the encoder can open: both dimensions given and within bounds.
bool validVideo(const VideoSettings& video);
// Why the codec's encoder can never take pictures of the settings' size (HEVC needs 16 x 16
// pixels), or nullopt. Sizes no video takes (under 2 x 2) get no reason here.
std::optional<std::string> videoSizeRefusal(const VideoSettings& video);
// Audio settings the encoder can open: channels, sample rate and bit rate it takes.
bool validAudio(const AudioSettings& audio);
// The FFmpeg muxer writing this file type; `hasHevc` when one of its tracks is HEVC.
const char* muxerName(FileType type, bool hasHevc);

} // namespace platform::linux_backend
