#pragma once
// Properties of an audio file from its first audio track.

#include "MediaInfo/MediaInfoRecords.h"
#include "platform/media_asset.h"

#include <optional>
#include <string>

namespace mediainfo {

// Throws MediaInfoError (fileNotFound, noAudioTrack, or a duration failure)
// or the platform's error when the file cannot be loaded.
AudioInfo getAudioInfo(const std::string& path, platform::MediaAssets& assets);

// "mono", "stereo", "surround", "5.1", "6.1", "7.1", "2.1" for the known layout
// tags; otherwise from the channel count ("mono", "stereo", or "<n>ch").
std::string channelLayoutName(std::optional<platform::AudioChannelLayoutTag> layoutTag, int64_t channels);
// The codec name of a four-character code ("mp4a" is "aac", linear PCM "pcm_s16le"...).
std::string audioCodecName(platform::FourCharCode subtype);
// "flt"/"fltp" for float samples, else "s<bits>" with "p" when not interleaved.
std::string sampleFormatName(uint32_t formatFlags, uint32_t bitsPerChannel);

} // namespace mediainfo
