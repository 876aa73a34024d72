#include "media_asset/asset_tracks.h"

#include "media_asset/budgeted_file.h"
#include "media_asset/stream_format.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace platform::linux_backend {
namespace {

MediaTime timeIn(int64_t value, AVRational timeBase) {
    if (value == AV_NOPTS_VALUE || timeBase.den <= 0 || timeBase.num <= 0) return MediaTime::invalid();
    return MediaTime::make(av_rescale_q(value, timeBase, AVRational{1, timeBase.den}), timeBase.den);
}

bool isTrack(const AVStream& stream) {
    auto type = stream.codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO) return true;
    return type == AVMEDIA_TYPE_VIDEO && !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// The bit rate the container states for the stream (Matroska statistics tags
// included), or 0.
int64_t statedBitRate(const AVStream& stream) {
    if (stream.codecpar->bit_rate > 0) return stream.codecpar->bit_rate;
    if (const AVDictionaryEntry* bps = av_dict_get(stream.metadata, "BPS", nullptr, 0)) {
        char* end = nullptr;
        long long value = std::strtoll(bps->value, &end, 10);
        if (end != bps->value && value > 0) return value;
    }
    return 0;
}

// Bits per second of each listed stream from the sizes of its packets, reading
// at most `budgetBytes`; past the budget the rate is that of the part read.
void measureBitRates(AVFormatContext& context, const BudgetedFile& file, const std::vector<const AVStream*>& streams,
                     std::vector<int64_t>& rates, int64_t budgetBytes) {
    std::vector<int64_t> bytes(context.nb_streams, 0);
    std::vector<int64_t> firstTime(context.nb_streams, AV_NOPTS_VALUE), endTime(context.nb_streams, AV_NOPTS_VALUE);
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    if (!packet) return;
    bool wholeFile = false;
    for (int64_t total = 0; total < budgetBytes;) {
        int status = av_read_frame(&context, packet.get());
        if (status < 0) {
            // The end of the read budget is not the end of the file.
            wholeFile = status == AVERROR_EOF && !file.budgetSpent();
            break;
        }
        auto index = static_cast<size_t>(packet->stream_index);
        bytes[index] += packet->size;
        total += packet->size;
        int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (time != AV_NOPTS_VALUE) {
            if (firstTime[index] == AV_NOPTS_VALUE || time < firstTime[index]) firstTime[index] = time;
            int64_t end = time + std::max<int64_t>(packet->duration, 0);
            if (endTime[index] == AV_NOPTS_VALUE || end > endTime[index]) endTime[index] = end;
        }
        av_packet_unref(packet.get());
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        if (rates[i] != 0) continue;
        const AVStream& stream = *streams[i];
        auto index = static_cast<size_t>(stream.index);
        double seconds = 0;
        if (wholeFile && stream.duration != AV_NOPTS_VALUE && stream.duration > 0)
            seconds = double(stream.duration) * av_q2d(stream.time_base);
        else if (firstTime[index] != AV_NOPTS_VALUE)
            seconds = double(endTime[index] - firstTime[index]) * av_q2d(stream.time_base);
        if (seconds > 0) rates[i] = static_cast<int64_t>(double(bytes[index]) * 8 / seconds);
    }
}

// A stream without a stated rate gets one computed from its size and duration:
// when it is the only such track, the container's rate (file size over
// duration) less what the other tracks state; otherwise from its packets.
std::vector<int64_t> trackBitRates(AVFormatContext& context, const BudgetedFile& file,
                                   const std::vector<const AVStream*>& streams, int64_t budgetBytes) {
    std::vector<int64_t> rates;
    int64_t stated = 0;
    int unstated = 0;
    for (const AVStream* stream : streams) {
        rates.push_back(statedBitRate(*stream));
        stated += rates.back();
        if (rates.back() == 0) ++unstated;
    }
    if (unstated == 1 && context.bit_rate > stated) {
        for (auto& rate : rates)
            if (rate == 0) rate = context.bit_rate - stated;
    } else if (unstated > 1) {
        measureBitRates(context, file, streams, rates, budgetBytes);
    }
    return rates;
}

// A stream whose container stores no timestamps at all (wav, raw PCM) begins at zero.
MediaTime trackStart(const AVFormatContext& context, const AVStream& stream) {
    MediaTime start = timeIn(stream.start_time, stream.time_base);
    if (start.isValid()) return start;
    if (context.start_time != AV_NOPTS_VALUE)
        return timeIn(av_rescale_q(context.start_time, AV_TIME_BASE_Q, stream.time_base), stream.time_base);
    return stream.time_base.den > 0 ? MediaTime::make(0, stream.time_base.den) : MediaTime::zero();
}

MediaTrack makeTrack(const AVFormatContext& context, const AVStream& stream, FourCharCode subtype, int64_t bitRate) {
    const AVCodecParameters& codec = *stream.codecpar;
    MediaTrack track;
    track.mediaType = codec.codec_type == AVMEDIA_TYPE_AUDIO ? MediaType::audio : MediaType::video;
    AVRational rate = stream.avg_frame_rate;
    bool hasRate = rate.num > 0 && rate.den > 0;
    if (track.mediaType == MediaType::video) {
        if (hasRate) track.nominalFrameRate = static_cast<float>(av_q2d(rate));
        track.naturalSize = {double(codec.width), double(codec.height)};
    }
    // The frame duration is counted in the track's own timescale.
    if (stream.time_base.den > 0) {
        track.minFrameDuration = {0, stream.time_base.den, 0, 0};
        if (hasRate && track.mediaType == MediaType::video) {
            track.minFrameDuration.value = av_rescale_q(1, av_inv_q(rate), AVRational{1, stream.time_base.den});
            track.minFrameDuration.flags = MediaTime::Valid;
        }
    }
    track.estimatedDataRate = static_cast<float>(bitRate);
    track.formatDescriptions.push_back(formatDescription(context, stream, subtype));
    track.timeRange = {trackStart(context, stream), timeIn(stream.duration, stream.time_base)};
    return track;
}

// The mp4 family stores MPEG-1 and MPEG-2 audio of every layer under one
// object type, which libavformat reads as MP3. The layer is in the header of
// the first frame: the code of the layer found there, or none.
std::optional<FourCharCode> mpegAudioLayerCode(AVFormatContext& context, const AVStream& stream) {
    if (!isMovFamily(context) || stream.codecpar->codec_id != AV_CODEC_ID_MP3 || !context.pb) return std::nullopt;
    const AVIndexEntry* first = avformat_index_get_entry(const_cast<AVStream*>(&stream), 0);
    if (!first || avio_seek(context.pb, first->pos, SEEK_SET) < 0) return std::nullopt;
    uint32_t header = avio_rb32(context.pb);
    if ((header & 0xffe00000) != 0xffe00000) return std::nullopt;
    switch ((header >> 17) & 3) {
    case 1: return fourCharCode(".mp3");
    case 2: return fourCharCode(".mp2");
    case 3: return fourCharCode(".mp1");
    default: return std::nullopt;
    }
}

} // namespace

bool headerStatesEverything(const AVFormatContext& context) {
    if (!isMovFamily(context) || context.duration == AV_NOPTS_VALUE) return false;
    for (unsigned i = 0; i < context.nb_streams; ++i) {
        const AVStream& stream = *context.streams[i];
        if (!isTrack(stream)) continue;
        const AVCodecParameters& codec = *stream.codecpar;
        if (stream.duration == AV_NOPTS_VALUE || stream.duration <= 0 || codec.bit_rate <= 0) return false;
        if (codec.codec_type == AVMEDIA_TYPE_VIDEO &&
            (codec.width <= 0 || codec.height <= 0 || stream.avg_frame_rate.num <= 0 || stream.avg_frame_rate.den <= 0))
            return false;
        if (codec.codec_type == AVMEDIA_TYPE_AUDIO &&
            (codec.sample_rate <= 0 || codec.ch_layout.order != AV_CHANNEL_ORDER_NATIVE))
            return false;
    }
    return true;
}

MediaAsset makeAsset(AVFormatContext& context, const BudgetedFile& file, int64_t bitRateBudgetBytes) {
    std::vector<const AVStream*> streams;
    for (unsigned i = 0; i < context.nb_streams; ++i)
        if (isTrack(*context.streams[i])) streams.push_back(context.streams[i]);
    auto rates = trackBitRates(context, file, streams, bitRateBudgetBytes);

    MediaAsset asset;
    if (context.duration != AV_NOPTS_VALUE && context.duration >= 0)
        asset.duration = MediaTime::make(context.duration, AV_TIME_BASE);
    for (size_t i = 0; i < streams.size(); ++i) {
        const AVStream& stream = *streams[i];
        FourCharCode subtype = mediaSubtype(context, *stream.codecpar);
        if (auto layer = mpegAudioLayerCode(context, stream)) subtype = *layer;
        asset.tracks.push_back(makeTrack(context, stream, subtype, rates[i]));
    }
    return asset;
}

} // namespace platform::linux_backend
