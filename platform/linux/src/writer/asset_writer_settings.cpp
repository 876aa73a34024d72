#include "writer/asset_writer_settings.h"

#include "writer/video_encoder_parameters.h"

#include <algorithm>
#include <array>

namespace platform::linux_backend {

namespace {

constexpr std::array kAacSampleRates{96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
constexpr int kMaxVideoDimension = 16384;
constexpr int kMaxAudioChannels = 8;
// libavcodec's libx265 wrapper refuses to open for a smaller side.
constexpr int kMinHevcDimension = 16;

bool fileTypeTakesVideo(FileType type) { return type != FileType::appleM4A; }

} // namespace

bool fileTypeTakes(FileType type, const VideoSettings& video) {
    if (!fileTypeTakesVideo(type)) return false;
    const bool proRes = video.codec == VideoCodecType::proRes422 || video.codec == VideoCodecType::proRes4444;
    return !proRes || type == FileType::quickTimeMovie;
}

bool validVideo(const VideoSettings& video) {
    const auto fits = [](const std::optional<int32_t>& size) {
        return size && encodedDimension(*size) >= 2 && *size <= kMaxVideoDimension;
    };
    return fits(video.width) && fits(video.height) && !videoSizeRefusal(video);
}

std::optional<std::string> videoSizeRefusal(const VideoSettings& video) {
    if (video.codec != VideoCodecType::hevc || !video.width || !video.height) return std::nullopt;
    const int width = encodedDimension(*video.width), height = encodedDimension(*video.height);
    if (width < 2 || height < 2 || (width >= kMinHevcDimension && height >= kMinHevcDimension)) return std::nullopt;
    return "HEVC video needs pictures of at least " + std::to_string(kMinHevcDimension) + " x " +
           std::to_string(kMinHevcDimension) + " pixels; these are " + std::to_string(width) + " x " +
           std::to_string(height) + " pixels";
}

bool validAudio(const AudioSettings& audio) {
    if (audio.numberOfChannels < 1 || audio.numberOfChannels > kMaxAudioChannels) return false;
    const double rate = audio.sampleRate;
    if (rate != static_cast<double>(static_cast<int>(rate))) return false;
    if (audio.formatID == audio_format::mpeg4AAC) {
        // A bit rate the encoder cannot use would fail the file at its first sample.
        if (audio.encoderBitRate && *audio.encoderBitRate < kMinimumAacBitRate) return false;
        return std::find(kAacSampleRates.begin(), kAacSampleRates.end(), static_cast<int>(rate)) != kAacSampleRates.end();
    }
    if (audio.formatID == audio_format::appleLossless) return rate >= 1 && rate <= 384000;
    return false;
}

const char* muxerName(FileType type, bool hasHevc) {
    switch (type) {
    case FileType::appleM4A: return "ipod";
    // The ipod muxer has no tag for HEVC: such .m4v files are mp4 files with the M4V brand.
    case FileType::appleM4V: return hasHevc ? "mp4" : "ipod";
    case FileType::mpeg4: return "mp4";
    case FileType::quickTimeMovie: return "mov";
    }
    return "mp4";
}

} // namespace platform::linux_backend
