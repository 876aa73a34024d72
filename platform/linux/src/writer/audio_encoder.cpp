#include "writer/audio_encoder.h"

#include "common/ffmpeg_error.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace platform::linux_backend {

namespace {

constexpr int64_t kDefaultAacBitRatePerChannel = 64000;
constexpr int kDriftToleranceMilliseconds = 20;

AVSampleFormat sourceSampleFormat(const AudioStreamDescription& d) {
    const bool planar = (d.formatFlags & AudioStreamDescription::IsNonInterleaved) != 0;
    if (d.formatID != fourCharCode("lpcm") || (d.formatFlags & AudioStreamDescription::IsBigEndian)) return AV_SAMPLE_FMT_NONE;
    if (d.formatFlags & AudioStreamDescription::IsFloat) {
        if (d.bitsPerChannel == 32) return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
        if (d.bitsPerChannel == 64) return planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
    } else if (d.formatFlags & AudioStreamDescription::IsSignedInteger) {
        if (d.bitsPerChannel == 16) return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
        if (d.bitsPerChannel == 32) return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    }
    return AV_SAMPLE_FMT_NONE;
}

bool sameDescription(const AudioStreamDescription& a, const AudioStreamDescription& b) {
    return a.sampleRate == b.sampleRate && a.formatID == b.formatID && a.formatFlags == b.formatFlags &&
           a.channelsPerFrame == b.channelsPerFrame && a.bitsPerChannel == b.bitsPerChannel;
}

} // namespace

AudioEncoder::AudioEncoder(const AudioSettings& settings, bool globalHeader, PacketSink sink)
    : frame_(av_frame_alloc()), packet_(av_packet_alloc()), sink_(std::move(sink)) {
    const bool lossless = settings.formatID == audio_format::appleLossless;
    const char* name = lossless ? "alac" : "aac";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec) throw PlatformError(kAssetWriterErrorDomain, AVERROR_ENCODER_NOT_FOUND,
                                    std::string("Encoder ") + name + " is not available");
    context_.reset(avcodec_alloc_context3(codec));
    AVCodecContext& c = *context_;
    c.sample_rate = static_cast<int>(std::lround(settings.sampleRate));
    av_channel_layout_default(&c.ch_layout, settings.numberOfChannels);
    c.time_base = {1, c.sample_rate};
    if (lossless) {
        const bool deep = settings.encoderBitDepthHint.value_or(16) > 16;
        c.sample_fmt = deep ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S16P;
        c.bits_per_raw_sample = deep ? 24 : 16;
    } else {
        c.sample_fmt = AV_SAMPLE_FMT_FLTP;
        c.bit_rate = settings.encoderBitRate.value_or(kDefaultAacBitRatePerChannel * settings.numberOfChannels);
    }
    if (globalHeader) c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    checkFfmpeg(avcodec_open2(&c, codec, nullptr), std::string("Cannot open the ") + name + " encoder");

    fifo_ = av_audio_fifo_alloc(c.sample_fmt, c.ch_layout.nb_channels, std::max(c.frame_size, 1024) * 4);
    if (!fifo_) throw PlatformError(kAssetWriterErrorDomain, AVERROR(ENOMEM), "Cannot allocate audio buffers");
}

AudioEncoder::~AudioEncoder() {
    swr_free(&resampler_);
    if (fifo_) av_audio_fifo_free(fifo_);
    if (converted_) av_freep(&converted_[0]);
    av_freep(&converted_);
}

int64_t AudioEncoder::driftTolerance() const {
    return static_cast<int64_t>(context_->sample_rate) * kDriftToleranceMilliseconds / 1000;
}

void AudioEncoder::configureResampler(const AudioStreamDescription& description) {
    if (resamplerInput_ && sameDescription(*resamplerInput_, description)) return;
    const AVSampleFormat format = sourceSampleFormat(description);
    if (format == AV_SAMPLE_FMT_NONE || description.channelsPerFrame == 0 || description.sampleRate <= 0)
        throw PlatformError(kAssetWriterErrorDomain, AVERROR(EINVAL),
                            "Unsupported audio format '" + fourCharCodeString(description.formatID) + "', " +
                                std::to_string(description.bitsPerChannel) + " bits");
    AVChannelLayout inputLayout;
    av_channel_layout_default(&inputLayout, static_cast<int>(description.channelsPerFrame));
    swr_free(&resampler_);
    const int made = swr_alloc_set_opts2(&resampler_, &context_->ch_layout, context_->sample_fmt,
                                         context_->sample_rate, &inputLayout, format,
                                         static_cast<int>(std::lround(description.sampleRate)), 0, nullptr);
    av_channel_layout_uninit(&inputLayout);
    checkFfmpeg(made, "Cannot set up the audio conversion");
    checkFfmpeg(swr_init(resampler_), "Cannot set up the audio conversion");
    resamplerInput_ = description;
}

void AudioEncoder::append(const SampleBuffer& sample, int64_t position) {
    const auto& format = sample.formatDescription();
    const auto& data = sample.audioData();
    if (!format || !format->audio || !data) throw PlatformError(kAssetWriterErrorDomain, AVERROR(EINVAL),
                                                              "Audio sample without audio data");
    const AudioStreamDescription& description = *format->audio;
    configureResampler(description);

    const int channels = static_cast<int>(description.channelsPerFrame);
    const bool planar = (description.formatFlags & AudioStreamDescription::IsNonInterleaved) != 0;
    const size_t bytesPerSample = description.bitsPerChannel / 8;
    const size_t frameBytes = bytesPerSample * (planar ? 1 : channels);
    const int inputCount = static_cast<int>(data->size() / (frameBytes * (planar ? channels : 1)));
    std::vector<const uint8_t*> planes(planar ? channels : 1);
    for (size_t i = 0; i < planes.size(); ++i) planes[i] = data->data() + i * inputCount * frameBytes;

    const int capacity = swr_get_out_samples(resampler_, inputCount);
    if (capacity > convertedCapacity_) {
        if (converted_) av_freep(&converted_[0]);
        av_freep(&converted_);
        checkFfmpeg(av_samples_alloc_array_and_samples(&converted_, nullptr, context_->ch_layout.nb_channels,
                                                       capacity, context_->sample_fmt, 0),
                    "Cannot allocate audio buffers");
        convertedCapacity_ = capacity;
    }
    const int count = checkFfmpeg(swr_convert(resampler_, converted_, capacity, planes.data(), inputCount),
                                  "Cannot convert audio");
    place(converted_, count, position);
    encodeFullFrames(false);
}

void AudioEncoder::place(uint8_t** data, int count, int64_t position) {
    int64_t skip = 0;
    const int64_t drift = position - timelineLength_;
    // The first buffer is placed exactly at the session start; later ones only
    // when they drifted further than jitter would explain, and then exactly,
    // also when the overlap spans several buffers.
    const bool exact = timelineLength_ == 0 || correcting_ || std::abs(drift) > driftTolerance();
    if (exact && drift > 0) pushSilence(drift);
    if (exact && drift < 0) skip = std::min<int64_t>(-drift, count);
    correcting_ = exact && skip >= count;
    if (skip >= count) return;
    std::vector<uint8_t*> planes(context_->ch_layout.nb_channels);
    const int bytesPerSample = av_get_bytes_per_sample(context_->sample_fmt);
    for (size_t i = 0; i < planes.size(); ++i) planes[i] = data[i] + skip * bytesPerSample;
    const int kept = static_cast<int>(count - skip);
    if (av_audio_fifo_write(fifo_, reinterpret_cast<void**>(planes.data()), kept) < kept)
        throw PlatformError(kAssetWriterErrorDomain, AVERROR(ENOMEM), "Cannot buffer audio");
    timelineLength_ += kept;
}

void AudioEncoder::pushSilence(int64_t count) {
    const int channels = context_->ch_layout.nb_channels;
    constexpr int kChunk = 4096;
    uint8_t** silence = nullptr;
    checkFfmpeg(av_samples_alloc_array_and_samples(&silence, nullptr, channels, kChunk, context_->sample_fmt, 0),
                "Cannot allocate audio buffers");
    av_samples_set_silence(silence, 0, kChunk, channels, context_->sample_fmt);
    for (int64_t left = count; left > 0;) {
        const int chunk = static_cast<int>(std::min<int64_t>(left, kChunk));
        av_audio_fifo_write(fifo_, reinterpret_cast<void**>(silence), chunk);
        left -= chunk;
        encodeFullFrames(false);
    }
    av_freep(&silence[0]);
    av_freep(&silence);
    timelineLength_ += count;
}

void AudioEncoder::encodeFullFrames(bool includePartial) {
    const int frameSize = context_->frame_size > 0 ? context_->frame_size : 1024;
    while (av_audio_fifo_size(fifo_) >= frameSize || (includePartial && av_audio_fifo_size(fifo_) > 0)) {
        const int count = std::min(frameSize, av_audio_fifo_size(fifo_));
        av_frame_unref(frame_.get());
        frame_->nb_samples = count;
        frame_->format = context_->sample_fmt;
        frame_->sample_rate = context_->sample_rate;
        checkFfmpeg(av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout), "Cannot encode audio");
        checkFfmpeg(av_frame_get_buffer(frame_.get(), 0), "Cannot allocate an audio frame");
        av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data), count);
        frame_->pts = samplesSent_;
        durationByPts_[samplesSent_] = count;
        samplesSent_ += count;
        send(frame_.get());
    }
}

void AudioEncoder::finish() {
    if (resampler_) {
        // What the resampler still holds belongs right after what was placed.
        const int capacity = swr_get_out_samples(resampler_, 0);
        if (capacity > 0) {
            uint8_t** tail = nullptr;
            checkFfmpeg(av_samples_alloc_array_and_samples(&tail, nullptr, context_->ch_layout.nb_channels, capacity,
                                                           context_->sample_fmt, 0),
                        "Cannot allocate audio buffers");
            const int count = swr_convert(resampler_, tail, capacity, nullptr, 0);
            if (count > 0) place(tail, count, timelineLength_);
            av_freep(&tail[0]);
            av_freep(&tail);
        }
    }
    encodeFullFrames(true);
    send(nullptr);
}

void AudioEncoder::send(const AVFrame* frame) {
    checkFfmpeg(avcodec_send_frame(context_.get(), frame), "Cannot encode audio");
    while (true) {
        const int received = avcodec_receive_packet(context_.get(), packet_.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
        checkFfmpeg(received, "Cannot encode audio");
        if (packet_->duration <= 0) {
            if (const auto found = durationByPts_.find(packet_->pts); found != durationByPts_.end())
                packet_->duration = found->second;
        }
        durationByPts_.erase(durationByPts_.begin(), durationByPts_.upper_bound(packet_->pts));
        sink_(packet_.get());
        av_packet_unref(packet_.get());
    }
}

} // namespace platform::linux_backend
