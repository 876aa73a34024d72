#include "writer/video_encoder.h"

#include "common/ffmpeg_error.h"
#include "writer/video_encoder_parameters.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/opt.h>
}

namespace platform::linux_backend {

VideoEncoder::VideoEncoder(const VideoSettings& settings, FourCharCode sourcePixelFormat, bool globalHeader,
                           PacketSink sink)
    : packet_(av_packet_alloc()), sink_(std::move(sink)) {
    const VideoEncoderParameters parameters = videoEncoderParameters(settings, sourcePixelFormat);
    const AVCodec* codec = avcodec_find_encoder_by_name(parameters.codecName.c_str());
    if (!codec) throw PlatformError(kAssetWriterErrorDomain, AVERROR_ENCODER_NOT_FOUND,
                                    "Encoder " + parameters.codecName + " is not available");
    context_.reset(avcodec_alloc_context3(codec));
    AVCodecContext& c = *context_;
    c.width = encodedDimension(settings.width.value_or(0));
    c.height = encodedDimension(settings.height.value_or(0));
    c.pix_fmt = parameters.pixelFormat;
    c.time_base = {1, kVideoTimescale};
    const double frameRate = parameters.frameRate.value_or(60);
    c.framerate = av_d2q(frameRate, 1001000);
    c.bit_rate = parameters.bitRate;
    c.rc_max_rate = parameters.maxRate;
    c.rc_buffer_size = static_cast<int>(parameters.bufferSize);
    if (parameters.keyFrameInterval > 0) c.gop_size = parameters.keyFrameInterval;
    if (parameters.maxBFrames) c.max_b_frames = *parameters.maxBFrames;
    c.thread_count = parameters.threads;
    c.color_primaries = parameters.colorPrimaries;
    c.color_trc = parameters.colorTransfer;
    c.colorspace = parameters.colorMatrix;
    c.color_range = AVCOL_RANGE_MPEG;
    if (globalHeader) c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    codecTag_ = parameters.codecTag;
    nominalFrameDuration_ = std::max<int64_t>(1, std::llround(kVideoTimescale / frameRate));
    // Never shorter than a frame, so that a long gap is bridged by a bounded number of repeats.
    if (parameters.keyFrameSeconds > 0) {
        keyInterval_ = std::max<int64_t>(nominalFrameDuration_,
                                         std::llround(std::min(parameters.keyFrameSeconds, 86400.0) * kVideoTimescale));
        keyFrameCount_ = parameters.keyFrameInterval;
    }

    AVDictionary* options = nullptr;
    for (const auto& [key, value] : parameters.privateOptions) av_dict_set(&options, key.c_str(), value.c_str(), 0);
    const int opened = avcodec_open2(&c, codec, &options);
    av_dict_free(&options);
    checkFfmpeg(opened, "Cannot open the " + parameters.codecName + " encoder for " + std::to_string(c.width) + "x" +
                            std::to_string(c.height));

    converter_ = std::make_unique<FrameConverter>(sourcePixelFormat, c.width, c.height, c.pix_fmt);
    held_.reset(av_frame_alloc());
    spare_.reset(av_frame_alloc());
    incoming_.reset(av_frame_alloc());
    for (AVFrame* frame : {held_.get(), spare_.get(), incoming_.get()}) {
        frame->format = c.pix_fmt;
        frame->width = c.width;
        frame->height = c.height;
        frame->color_primaries = c.color_primaries;
        frame->color_trc = c.color_trc;
        frame->colorspace = c.colorspace;
        frame->color_range = c.color_range;
        checkFfmpeg(av_frame_get_buffer(frame, 0), "Cannot allocate a video frame");
    }
}

void VideoEncoder::backPictureMemory() {
    for (AVFrame* frame : {held_.get(), spare_.get(), incoming_.get()}) {
        for (AVBufferRef* buffer : frame->buf) {
            if (buffer) std::memset(buffer->data, 0, buffer->size);
        }
    }
}

void VideoEncoder::makeWritable(AVFrame* frame) {
    if (av_frame_is_writable(frame)) return;
    // As av_frame_make_writable, without copying the pixels into the new picture: every
    // caller overwrites the whole picture next.
    std::unique_ptr<AVFrame, FrameDeleter> fresh(av_frame_alloc());
    if (!fresh) throw PlatformError(kAssetWriterErrorDomain, AVERROR(ENOMEM), "Cannot allocate a video frame");
    fresh->format = frame->format;
    fresh->width = frame->width;
    fresh->height = frame->height;
    checkFfmpeg(av_frame_get_buffer(fresh.get(), 0), "Cannot allocate a video frame");
    checkFfmpeg(av_frame_copy_props(fresh.get(), frame), "Cannot allocate a video frame");
    av_frame_unref(frame);
    av_frame_move_ref(frame, fresh.get());
}

void VideoEncoder::take(const PixelBuffer& frame, int64_t pts, int64_t duration) {
    if (hasIncoming_) encodeTaken();
    makeWritable(incoming_.get());
    convertIncoming(frame);
    incoming_->pts = pts;
    incomingDuration_ = duration;
    hasIncoming_ = true;
}

void VideoEncoder::convertIncoming(const PixelBuffer& frame) {
    const std::optional<PictureChange>& change = frame.change;
    incomingPicture_ = change ? change->picture : 0;
    // The held picture is the one converted last: where the frame says what changed
    // since it, the rest is copied from it instead of converted again.
    const bool sinceHeld = change && hasHeld_ && heldPicture_ != 0 &&
                           (change->previousPicture == heldPicture_ || change->picture == heldPicture_);
    if (!sinceHeld) return converter_->convert(frame, incoming_.get());
    const bool same = change->picture == heldPicture_;
    const std::vector<RowSpan> none;
    converter_->convertChanged(frame, same ? none : change->rows, *held_, incoming_.get());
}

void VideoEncoder::takeConverted(const AVFrame& picture, int64_t pts, int64_t duration) {
    if (hasIncoming_) encodeTaken();
    makeWritable(incoming_.get());
    incomingPicture_ = 0;
    checkFfmpeg(av_frame_copy(incoming_.get(), &picture), "Cannot copy a video frame");
    incoming_->pts = pts;
    incomingDuration_ = duration;
    hasIncoming_ = true;
}

void VideoEncoder::encodeTaken() {
    if (!hasIncoming_) return;
    hasIncoming_ = false;
    // A picture less than half a frame interval after the held one takes its place: a
    // frame shown that briefly is never seen, and frames a few ticks apart trouble muxers
    // and players. The newer picture is shown from the held one's time.
    if (hasHeld_ && incoming_->pts - held_->pts < minimumSpacing()) {
        incoming_->pts = held_->pts;
        std::swap(held_, incoming_);
        heldOwnDuration_ = incomingDuration_;
        heldPicture_ = incomingPicture_;
        return;
    }
    if (hasHeld_) sendHeldUntil(incoming_->pts);
    std::swap(held_, incoming_);
    hasHeld_ = true;
    heldOwnDuration_ = incomingDuration_;
    heldPicture_ = incomingPicture_;
}

void VideoEncoder::finish() {
    encodeTaken();
    if (hasHeld_ && end_ && *end_ > held_->pts) {
        // Held to the end of the track; a long still tail keeps its key frames.
        sendHeldUntil(*end_);
        hasHeld_ = false;
    } else if (hasHeld_) {
        // The last frame lasts its own duration, else as long as the one before it.
        const int64_t duration = heldOwnDuration_ > 0 ? heldOwnDuration_
                                 : lastInterval_ > 0  ? lastInterval_
                                                      : nominalFrameDuration_;
        sendHeld(duration);
        hasHeld_ = false;
    }
    send(nullptr);
}

void VideoEncoder::sendHeldUntil(int64_t next) {
    // Where `next` comes after the key-frame interval ran out, a key frame is needed before.
    // The held picture is that key frame when it lies at least half an interval after the
    // last one (so no two key frames come close together), or when no copy fits before the
    // interval runs out; a copy of it is sent only where `next` is still more than an
    // interval after it. Otherwise the copy is the key frame, sent when the interval runs
    // out. A copy always comes a frame interval before `next` at the latest, so it never
    // lands just before a new picture.
    while (keyInterval_ > 0) {
        const int64_t lastKey = lastKeyPts_.value_or(held_->pts);  // none yet: the held picture is the first
        if (next - lastKey <= keyInterval_) break;
        int64_t repeatAt = std::min(lastKey + keyInterval_, next - nominalFrameDuration_);
        if (held_->pts - lastKey >= keyInterval_ / 2 || repeatAt - held_->pts < minimumSpacing()) {
            if (next - held_->pts <= keyInterval_) break;
            repeatAt = std::min(held_->pts + keyInterval_, next - nominalFrameDuration_);
            if (repeatAt - held_->pts < minimumSpacing()) break;
        }
        makeWritable(spare_.get());
        checkFfmpeg(av_frame_copy(spare_.get(), held_.get()), "Cannot copy a video frame");
        spare_->pts = repeatAt;
        sendHeld(repeatAt - held_->pts);
        std::swap(held_, spare_);
        heldOwnDuration_ = 0;
    }
    sendHeld(next - held_->pts);
}

void VideoEncoder::sendHeld(int64_t duration) {
    durationByPts_[held_->pts] = duration;
    lastInterval_ = duration;
    // Every key frame is placed here (the encoder places none of its own): the held picture
    // is one when the next picture, `duration` later, would come after the key-frame interval
    // ran out, or when it is the last of the interval's frames.
    held_->pict_type = AV_PICTURE_TYPE_NONE;
    if (keyInterval_ > 0) {
        const bool key = !lastKeyPts_ || held_->pts + duration - *lastKeyPts_ > keyInterval_ ||
                         (keyFrameCount_ > 0 && framesSinceKey_ + 1 >= keyFrameCount_);
        if (key) {
            held_->pict_type = AV_PICTURE_TYPE_I;
            lastKeyPts_ = held_->pts;
            framesSinceKey_ = 0;
        } else {
            ++framesSinceKey_;
        }
    }
    send(held_.get());
}

void VideoEncoder::send(const AVFrame* frame) {
    checkFfmpeg(avcodec_send_frame(context_.get(), frame), "Cannot encode a video frame");
    while (true) {
        const int received = avcodec_receive_packet(context_.get(), packet_.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
        checkFfmpeg(received, "Cannot encode a video frame");
        if ((packet_->flags & AV_PKT_FLAG_KEY) && (!lastKeyPts_ || packet_->pts > *lastKeyPts_))
            lastKeyPts_ = packet_->pts;
        if (const auto found = durationByPts_.find(packet_->pts); found != durationByPts_.end()) {
            if (packet_->duration <= 0) packet_->duration = found->second;
            durationByPts_.erase(found);
        }
        sink_(packet_.get());
        av_packet_unref(packet_.get());
    }
}

} // namespace platform::linux_backend
