#include "platform/linux/ffmpeg_media_assets.h"

#include "platform/error.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

namespace platform::linux_backend {
namespace {

using Clock = std::chrono::steady_clock;

struct InterruptState {
    Clock::time_point deadline;
    bool expired = false;
};

// Polled by libavformat between reads and packets; a non-zero answer aborts the load.
int interruptWhenLate(void* opaque) {
    auto* state = static_cast<InterruptState*>(opaque);
    if (Clock::now() >= state->deadline) state->expired = true;
    return state->expired ? 1 : 0;
}

// A counting gate: loads that read much of their file pass it a few at a time.
class HeavyLoadGate {
public:
    explicit HeavyLoadGate(unsigned slots) : free_(slots) {}

    // Takes a slot, waiting at most until the deadline; false when none came free.
    bool enter(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        if (!freed_.wait_until(lock, deadline, [&] { return free_ > 0; })) return false;
        --free_;
        return true;
    }
    void leave() {
        {
            std::lock_guard lock(mutex_);
            ++free_;
        }
        freed_.notify_one();
    }

private:
    std::mutex mutex_;  // guards free_
    std::condition_variable freed_;
    unsigned free_;
};

// The file as libavformat reads it: through one descriptor, within the load's
// read budget and deadline. Nothing else is opened on the file's behalf.
class BudgetedFile {
public:
    BudgetedFile(int descriptor, int64_t size, bool sparse, const MediaAssetLimits& limits, HeavyLoadGate& gate,
                 InterruptState& interrupt)
        : descriptor_(descriptor), size_(size), sparse_(sparse), limits_(limits), gate_(gate), interrupt_(interrupt) {}
    ~BudgetedFile() {
        if (heavy_) gate_.leave();
        ::close(descriptor_);
    }
    BudgetedFile(const BudgetedFile&) = delete;
    BudgetedFile& operator=(const BudgetedFile&) = delete;

    // Whether the load has read all it may: what follows in the file was not seen.
    bool budgetSpent() const { return bytesRead_ >= limits_.readBudgetBytes; }

    static int read(void* opaque, uint8_t* buffer, int size) {
        return static_cast<BudgetedFile*>(opaque)->readSome(buffer, size);
    }
    static int64_t seek(void* opaque, int64_t offset, int whence) {
        return static_cast<BudgetedFile*>(opaque)->seekTo(offset, whence);
    }

private:
    int readSome(uint8_t* buffer, int size) {
        if (interruptWhenLate(&interrupt_)) return AVERROR_EXIT;
        if (!heavy_ && bytesRead_ >= limits_.lightReadBytes) {
            if (!gate_.enter(interrupt_.deadline)) {
                interrupt_.expired = true;
                return AVERROR_EXIT;
            }
            heavy_ = true;
        }
        int64_t left = limits_.readBudgetBytes - bytesRead_;
        if (left <= 0) return AVERROR_EOF;
        // A sparse file that holds nothing but a hole from here to its end (a
        // few bytes of header "followed" by gigabytes) has no more to give:
        // its zeros would only be scanned for a structure that is not there.
        if (sparse_ && ::lseek(descriptor_, static_cast<off_t>(position_), SEEK_DATA) < 0 && errno == ENXIO)
            return AVERROR_EOF;
        auto wanted = static_cast<size_t>(std::min<int64_t>(size, left));
        ssize_t count;
        do count = ::pread(descriptor_, buffer, wanted, static_cast<off_t>(position_));
        while (count < 0 && errno == EINTR);
        if (count < 0) return AVERROR(errno);
        if (count == 0) return AVERROR_EOF;
        bytesRead_ += count;
        position_ += count;
        return static_cast<int>(count);
    }

    int64_t seekTo(int64_t offset, int whence) {
        if (whence & AVSEEK_SIZE) return size_;
        int64_t base = 0;
        switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET: break;
        case SEEK_CUR: base = position_; break;
        case SEEK_END: base = size_; break;
        default: return AVERROR(EINVAL);
        }
        if (offset > INT64_MAX - base || base + offset < 0) return AVERROR(EINVAL);
        position_ = base + offset;
        return position_;
    }

    int descriptor_;
    int64_t size_;
    bool sparse_;
    const MediaAssetLimits& limits_;
    HeavyLoadGate& gate_;
    InterruptState& interrupt_;
    // Reads go by position (pread): the descriptor's own offset is not used.
    int64_t position_ = 0;
    int64_t bytesRead_ = 0;
    bool heavy_ = false;
};

// Nested files (playlists, external data references) are never opened: a load
// reads the one file it was given, within its budget.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

std::string avErrorText(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    return buffer;
}

PlatformError assetError(MediaAssetErrorCode code, const std::string& reason) {
    std::string title = code == mediaAssetTimedOut ? "Timed Out"
                        : code == mediaAssetCannotRead ? "Cannot Read"
                                                       : "Cannot Open";
    return PlatformError(kMediaAssetErrorDomain, code, title + " (" + reason + ")");
}

// Only regular files are read: a FIFO or device would block or never end. The
// descriptor is opened without waiting (a FIFO would wait for a writer) and
// checked before anything is read.
struct OpenedFile {
    int descriptor;
    int64_t size;
    // Fewer bytes are stored than the file is long: it has holes.
    bool sparse;
};

OpenedFile openRegularFile(const std::string& path) {
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) throw assetError(mediaAssetCannotOpen, std::strerror(errno));
    struct stat info {};
    std::string refusal;
    if (::fstat(descriptor, &info) != 0) refusal = std::strerror(errno);
    else if (S_ISDIR(info.st_mode)) refusal = std::strerror(EISDIR);
    else if (!S_ISREG(info.st_mode)) refusal = "not a regular file";
    if (!refusal.empty()) {
        ::close(descriptor);
        throw assetError(mediaAssetCannotOpen, refusal);
    }
    return {descriptor, static_cast<int64_t>(info.st_size), int64_t{info.st_blocks} * 512 < int64_t{info.st_size}};
}

struct FormatContextCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;

MediaTime timeIn(int64_t value, AVRational timeBase) {
    if (value == AV_NOPTS_VALUE || timeBase.den <= 0 || timeBase.num <= 0) return MediaTime::invalid();
    return MediaTime::make(av_rescale_q(value, timeBase, AVRational{1, timeBase.den}), timeBase.den);
}

bool isMovFamily(const AVFormatContext& context) {
    return context.iformat && std::string_view(context.iformat->name).find("mov") != std::string_view::npos;
}

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

// The mov family usually states every fact read here in its header (a
// fragmented file does not); then the first packets need not be read and
// decoded to learn the streams.
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

struct IoContextFreer {
    void operator()(AVIOContext* io) const {
        if (!io) return;
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextFreer>;

constexpr int kIoBufferBytes = 32 * 1024;

unsigned heavyLoadSlots(unsigned configured) {
    if (configured > 0) return configured;
    return std::max(2u, std::thread::hardware_concurrency() / 2);
}

class FfmpegMediaAssets final : public MediaAssets {
public:
    explicit FfmpegMediaAssets(MediaAssetLimits limits) : limits_(limits), heavyLoads_(heavyLoadSlots(limits.heavyLoads)) {
        // The program speaks only through its own output: the library stays quiet.
        static std::once_flag quiet;
        std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    }

    MediaAsset load(const std::string& path) override {
        static std::once_flag firstLoad;
        std::call_once(firstLoad, [] {
            // Set once a file is probed, so a process that only records keeps the
            // allocator as it was. Blocks of 4 MiB or more are mapped for
            // themselves and given back to the system when freed. By default the
            // allocator raises that size to the largest block freed so far (up to
            // 32 MiB) and keeps smaller blocks in the arena of the thread that
            // freed them: after a parser gathered megabytes on each of many
            // probing threads, every thread's arena would keep its share (1.5 GB
            // after 64 hostile files in one request, 0.23 GB with this). Ordinary
            // probes allocate less than that at a time, and capture keeps its
            // large frame buffers in pools, so neither maps anything more.
            mallopt(M_MMAP_THRESHOLD, 4 << 20);
            // Fixing that size also fixes the free space an arena keeps at its
            // top, by default to 128 KiB: each probe would then hand its pages
            // back and fault them in again. Arenas keep up to 4 MiB instead.
            mallopt(M_TRIM_THRESHOLD, 4 << 20);
        });
        InterruptState interrupt{Clock::now() + limits_.deadline};
        OpenedFile opened = openRegularFile(path);
        // Declared first, so it is released last: the contexts below read through it.
        BudgetedFile file(opened.descriptor, opened.size, opened.sparse, limits_, heavyLoads_, interrupt);

        auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
        if (!buffer) throw assetError(mediaAssetCannotOpen, "out of memory");
        IoContextPtr io(avio_alloc_context(buffer, kIoBufferBytes, 0, &file, BudgetedFile::read, nullptr,
                                           BudgetedFile::seek));
        if (!io) {
            av_free(buffer);
            throw assetError(mediaAssetCannotOpen, "out of memory");
        }

        AVFormatContext* raw = avformat_alloc_context();
        if (!raw) throw assetError(mediaAssetCannotOpen, "out of memory");
        raw->interrupt_callback = {interruptWhenLate, &interrupt};
        raw->pb = io.get();
        raw->flags |= AVFMT_FLAG_CUSTOM_IO;
        raw->io_open = refuseNestedOpen;

        AVDictionary* options = nullptr;
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        av_dict_set_int(&options, "probesize", limits_.probeSizeBytes, 0);
        av_dict_set_int(&options, "analyzeduration", limits_.analyzeDuration.count(), 0);
        // The name only hints at the container (by its extension); the bytes come through `io`.
        int status = avformat_open_input(&raw, path.c_str(), nullptr, &options);
        av_dict_free(&options);
        // On failure avformat_open_input has freed the context; `io` is still ours.
        if (status < 0) throw failure(mediaAssetCannotOpen, status, interrupt);
        FormatContextPtr context(raw);

        if (!headerStatesEverything(*context)) {
            status = avformat_find_stream_info(context.get(), nullptr);
            if (status < 0 || interrupt.expired) throw failure(mediaAssetCannotRead, status, interrupt);
        }
        MediaAsset asset = makeAsset(*context, file, limits_.bitRateBudgetBytes);
        if (interrupt.expired) throw failure(mediaAssetCannotRead, 0, interrupt);
        return asset;
    }

private:
    static PlatformError failure(MediaAssetErrorCode code, int status, const InterruptState& interrupt) {
        if (interrupt.expired) return assetError(mediaAssetTimedOut, "the file took too long to read");
        return assetError(code, avErrorText(status));
    }

    MediaAssetLimits limits_;
    HeavyLoadGate heavyLoads_;
};

} // namespace

std::shared_ptr<MediaAssets> makeFfmpegMediaAssets(MediaAssetLimits limits) {
    return std::make_shared<FfmpegMediaAssets>(limits);
}

} // namespace platform::linux_backend
