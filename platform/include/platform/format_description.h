#pragma once
// Format of the samples in a sample buffer or a track: media type, a
// four-character subtype, and the video dimensions or audio stream description.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace platform {

using FourCharCode = uint32_t;

constexpr FourCharCode fourCharCode(const char (&code)[5]) {
    return (FourCharCode(uint8_t(code[0])) << 24) | (FourCharCode(uint8_t(code[1])) << 16) |
           (FourCharCode(uint8_t(code[2])) << 8) | FourCharCode(uint8_t(code[3]));
}
std::string fourCharCodeString(FourCharCode code);

enum class MediaType { audio, video, muxed };

struct VideoDimensions {
    int32_t width = 0;
    int32_t height = 0;
    bool operator==(const VideoDimensions&) const = default;
};

// Linear-PCM and compressed audio as the stream describes it.
struct AudioStreamDescription {
    enum FormatFlags : uint32_t {
        IsFloat = 1u << 0,
        IsBigEndian = 1u << 1,
        IsSignedInteger = 1u << 2,
        IsPacked = 1u << 3,
        IsNonInterleaved = 1u << 5,
    };
    double sampleRate = 0;
    FourCharCode formatID = 0;  // "lpcm" for linear PCM
    uint32_t formatFlags = 0;
    uint32_t bytesPerPacket = 0;
    uint32_t framesPerPacket = 0;
    uint32_t bytesPerFrame = 0;
    uint32_t channelsPerFrame = 0;
    uint32_t bitsPerChannel = 0;

    // Interleaved float32 linear PCM, the format the capture backends deliver.
    static AudioStreamDescription float32Interleaved(double sampleRate, uint32_t channels);
};

using ExtensionValue = std::variant<int64_t, double, std::string, bool>;

// Core Audio channel layout tag: layout index in the upper 16 bits, channel count in the lower 16.
using AudioChannelLayoutTag = uint32_t;

struct FormatDescription {
    MediaType mediaType = MediaType::video;
    FourCharCode mediaSubtype = 0;
    std::optional<VideoDimensions> dimensions;
    std::optional<AudioStreamDescription> audio;
    std::map<std::string, ExtensionValue, std::less<>> extensions;

    // A video format of the given subtype and size, without extensions.
    static std::shared_ptr<const FormatDescription> makeVideo(FourCharCode subtype, int32_t width, int32_t height);
    // An audio format of the stream's format id as subtype.
    static std::shared_ptr<const FormatDescription> makeAudio(const AudioStreamDescription& stream);
    // Audio only: the tag of the stream's channel layout, when it has one.
    std::optional<AudioChannelLayoutTag> channelLayoutTag;
};

namespace pixel_format {
// 32-bit BGRA, 8 bits a channel, one plane.
inline constexpr FourCharCode bgra = fourCharCode("BGRA");
// Packed 10-bit RGB, 2 bits of alpha, little-endian 32-bit words: ARGB2101010 ('l10r').
inline constexpr FourCharCode argb2101010 = fourCharCode("l10r");
} // namespace pixel_format

} // namespace platform
