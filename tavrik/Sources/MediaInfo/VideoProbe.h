#pragma once
// Properties of a video file from its first video track.

#include "MediaInfo/MediaInfoRecords.h"
#include "platform/media_asset.h"

#include <string>

namespace mediainfo {

// Throws MediaInfoError (fileNotFound, noVideoTrack, or a duration failure)
// or the platform's error when the file cannot be loaded.
VideoInfo getVideoInfo(const std::string& path, platform::MediaAssets& assets);

// A frame rate as a fraction text: the broadcast rates by their usual
// fractions (within 0.01), anything else rounded to a whole number over 1.
std::string rationalString(double rate);

// The pixel-format text of a track's first format description ("unknown" without one).
std::string pixelFormatName(const platform::FormatDescription* format);

} // namespace mediainfo
