#include "media_asset/stream_format.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <optional>
#include <string_view>

namespace platform::linux_backend {
namespace {

bool isPcm(const AVCodecDescriptor* descriptor) {
    return descriptor && std::string_view(descriptor->name).starts_with("pcm_");
}

// Linear PCM of any sample size, byte order or number form; the companded and
// odd logarithmic codings are not linear.
bool isLinearPcm(AVCodecID id) {
    switch (id) {
    case AV_CODEC_ID_PCM_MULAW:
    case AV_CODEC_ID_PCM_ALAW:
    case AV_CODEC_ID_PCM_VIDC:
    case AV_CODEC_ID_PCM_ZORK:
    case AV_CODEC_ID_PCM_SGA: return false;
    default: return isPcm(avcodec_descriptor_get(id));
    }
}

FourCharCode bigEndianCode(uint32_t containerTag) {
    // Container tags keep the first character in the lowest byte.
    return ((containerTag & 0xff) << 24) | ((containerTag & 0xff00) << 8) | ((containerTag >> 8) & 0xff00) |
           (containerTag >> 24);
}

std::optional<AudioChannelLayoutTag> channelLayoutTag(const AVChannelLayout& layout) {
    if (layout.order != AV_CHANNEL_ORDER_NATIVE) return std::nullopt;
    switch (layout.u.mask) {
    case AV_CH_LAYOUT_MONO: return 0x640001;
    case AV_CH_LAYOUT_STEREO: return 0x650002;
    case AV_CH_LAYOUT_SURROUND: return 0x710003;
    case AV_CH_LAYOUT_5POINT1:
    case AV_CH_LAYOUT_5POINT1_BACK: return 0x790006;
    case AV_CH_LAYOUT_6POINT1: return 0x7D0007;
    case AV_CH_LAYOUT_7POINT1_WIDE:
    case AV_CH_LAYOUT_7POINT1_WIDE_BACK: return 0x7E0008;
    case AV_CH_LAYOUT_7POINT1: return 0x800008;
    case AV_CH_LAYOUT_2POINT1: return 0x850003;
    default: return std::nullopt;
    }
}

AudioStreamDescription audioDescription(const AVCodecParameters& codec, FourCharCode subtype) {
    AudioStreamDescription audio;
    audio.sampleRate = codec.sample_rate;
    audio.formatID = subtype;
    audio.channelsPerFrame = static_cast<uint32_t>(std::max(0, codec.ch_layout.nb_channels));
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec.codec_id);
    if (isPcm(descriptor)) {
        std::string_view name = descriptor->name;
        int bits = av_get_bits_per_sample(codec.codec_id);
        if (bits <= 0) bits = codec.bits_per_coded_sample;
        audio.bitsPerChannel = static_cast<uint32_t>(std::max(0, bits));
        if (name.starts_with("pcm_f")) audio.formatFlags |= AudioStreamDescription::IsFloat;
        if (name.ends_with("_planar")) audio.formatFlags |= AudioStreamDescription::IsNonInterleaved;
        audio.framesPerPacket = 1;
    }
    return audio;
}

} // namespace

bool isMovFamily(const AVFormatContext& context) {
    return context.iformat && std::string_view(context.iformat->name).find("mov") != std::string_view::npos;
}

FourCharCode mediaSubtype(const AVFormatContext& context, const AVCodecParameters& codec) {
    if (isLinearPcm(codec.codec_id)) return fourCharCode("lpcm");
    if (codec.codec_id == AV_CODEC_ID_PCM_MULAW) return fourCharCode("ulaw");
    if (codec.codec_id == AV_CODEC_ID_PCM_ALAW) return fourCharCode("alaw");
    FourCharCode entryCode = isMovFamily(context) ? bigEndianCode(codec.codec_tag) : 0;
    // "mp4a" names the sample entry of any MPEG-4 systems audio stream, not its
    // format: MP3 or MP2 audio in an mp4 is told apart by the entry's object
    // type, which libavformat turns into the codec. Name those by their codec.
    bool aacEntry = codec.codec_id == AV_CODEC_ID_AAC || codec.codec_id == AV_CODEC_ID_AAC_LATM;
    if (entryCode != 0 && (entryCode != fourCharCode("mp4a") || aacEntry)) return entryCode;
    const AVCodecTag* tables[] = {codec.codec_type == AVMEDIA_TYPE_AUDIO ? avformat_get_mov_audio_tags()
                                                                         : avformat_get_mov_video_tags(),
                                  nullptr};
    FourCharCode codecCode = bigEndianCode(av_codec_get_tag(tables, codec.codec_id));
    return codecCode != 0 ? codecCode : entryCode;
}

std::shared_ptr<const FormatDescription> formatDescription(const AVFormatContext& context, const AVStream& stream,
                                                           FourCharCode subtype) {
    const AVCodecParameters& codec = *stream.codecpar;
    auto format = std::make_shared<FormatDescription>();
    format->mediaSubtype = subtype;
    if (codec.codec_type == AVMEDIA_TYPE_VIDEO) {
        format->mediaType = MediaType::video;
        format->dimensions = VideoDimensions{codec.width, codec.height};
        if (isMovFamily(context)) {
            if (codec.bits_per_coded_sample > 0) format->extensions["Depth"] = int64_t{codec.bits_per_coded_sample};
            // The sample entry's compressor name.
            if (const AVDictionaryEntry* name = av_dict_get(stream.metadata, "encoder", nullptr, AV_DICT_MATCH_CASE);
                name && name->value[0] != '\0')
                format->extensions["FormatName"] = std::string(name->value);
        }
    } else {
        format->mediaType = MediaType::audio;
        format->audio = audioDescription(codec, format->mediaSubtype);
        format->channelLayoutTag = channelLayoutTag(codec.ch_layout);
    }
    return format;
}

} // namespace platform::linux_backend
