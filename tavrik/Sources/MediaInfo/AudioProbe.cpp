#include "MediaInfo/AudioProbe.h"

#include "MediaInfo/DurationReconciliation.h"
#include "MediaInfo/FourCharCodeText.h"
#include "MediaInfo/IntegerConversion.h"
#include "MediaInfo/MediaInfoError.h"
#include "MediaInfo/PathText.h"

#include <utility>

namespace mediainfo {
namespace {

constexpr uint32_t kFormatIsFloat = platform::AudioStreamDescription::IsFloat;
constexpr uint32_t kFormatIsNonInterleaved = platform::AudioStreamDescription::IsNonInterleaved;

std::string channelCountName(int64_t channels) {
    if (channels == 1) return "mono";
    if (channels == 2) return "stereo";
    return std::to_string(channels) + "ch";
}

} // namespace

std::string channelLayoutName(std::optional<platform::AudioChannelLayoutTag> layoutTag, int64_t channels) {
    static const std::pair<platform::AudioChannelLayoutTag, const char*> kKnownTags[] = {
        {0x640001, "mono"}, {0x650002, "stereo"}, {0x710003, "surround"}, {0x720003, "surround"},
        {0x790006, "5.1"},  {0x7A0006, "5.1"},    {0x7B0006, "5.1"},      {0x7C0006, "5.1"},
        {0x7D0007, "6.1"},  {0x7E0008, "7.1"},    {0x7F0008, "7.1"},      {0x800008, "7.1"},
        {0x850003, "2.1"},
    };
    if (layoutTag) {
        for (const auto& [tag, name] : kKnownTags)
            if (tag == *layoutTag) return name;
    }
    return channelCountName(channels);
}

std::string audioCodecName(platform::FourCharCode subtype) {
    std::string code = fourCharCodeText(subtype);
    if (code == "mp4a") return "aac";
    if (code == "lpcm") return "pcm_s16le";
    if (code == "ulaw") return "pcm_mulaw";
    if (code == "alaw") return "pcm_alaw";
    return lowercasedText(code);
}

std::string sampleFormatName(uint32_t formatFlags, uint32_t bitsPerChannel) {
    bool planar = (formatFlags & kFormatIsNonInterleaved) != 0;
    if (formatFlags & kFormatIsFloat) return planar ? "fltp" : "flt";
    return "s" + std::to_string(bitsPerChannel) + (planar ? "p" : "");
}

AudioInfo getAudioInfo(const std::string& path, platform::MediaAssets& assets) {
    if (!existsAtPath(path)) throw MediaInfoError::fileNotFound(path);
    platform::MediaAsset asset = assets.load(path);
    double assetSeconds = asset.duration.seconds();
    // The duration comes first, so a file without audio fails there already.
    double durationMs = accurateDurationMs(asset, platform::MediaType::audio);

    auto audioTracks = asset.tracksWithMediaType(platform::MediaType::audio);
    if (audioTracks.empty()) throw MediaInfoError::noAudioTrack();
    const platform::MediaTrack& track = audioTracks.front();
    const platform::FormatDescription* format =
        track.formatDescriptions.empty() ? nullptr : track.formatDescriptions.front().get();
    const platform::AudioStreamDescription* stream = format && format->audio ? &*format->audio : nullptr;

    AudioInfo info;
    info.codec = format ? audioCodecName(format->mediaSubtype) : "unknown";
    info.sampleRate = stream ? truncatedToInt64(stream->sampleRate) : 0;
    info.channels = stream ? int64_t{stream->channelsPerFrame} : 0;
    info.channelLayout = channelLayoutName(format ? format->channelLayoutTag : std::nullopt, info.channels);
    info.bitrate = truncatedToInt64(static_cast<double>(track.estimatedDataRate));
    info.durationMs = durationMs;
    info.startTimeMs = track.timeRange.start.seconds() * 1000;
    info.timeBase = stream ? "1/" + std::to_string(info.sampleRate) : "unknown";
    info.sampleFormat = stream ? sampleFormatName(stream->formatFlags, stream->bitsPerChannel) : "unknown";
    info.totalSamples =
        stream && info.sampleRate >= 1 ? roundedToInt64(static_cast<double>(info.sampleRate) * assetSeconds) : 0;
    info.hasVideo = !asset.tracksWithMediaType(platform::MediaType::video).empty();
    return info;
}

} // namespace mediainfo
