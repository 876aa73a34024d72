#include "v4l2/camera_frame_decoder.h"

#include <libyuv/convert_argb.h>
#include <linux/videodev2.h>

#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace platform::linux_backend {

struct CameraFrameDecoder::Codec {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* scaler = nullptr;  // only for JPEG layouts libyuv has no path for
    ~Codec() {
        sws_freeContext(scaler);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&context);
    }
};

bool CameraFrameDecoder::decodes(uint32_t v4l2PixelFormat) {
    return v4l2PixelFormat == V4L2_PIX_FMT_YUYV || v4l2PixelFormat == V4L2_PIX_FMT_MJPEG;
}

CameraFrameDecoder::CameraFrameDecoder(uint32_t v4l2PixelFormat, int32_t width, int32_t height)
    : format_(v4l2PixelFormat), width_(width), height_(height) {
    if (!decodes(format_)) throw std::runtime_error("the camera's pixel format cannot be decoded");
    if (format_ != V4L2_PIX_FMT_MJPEG) return;
    codec_ = std::make_unique<Codec>();
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (!decoder) throw std::runtime_error("no MJPEG decoder");
    codec_->context = avcodec_alloc_context3(decoder);
    codec_->packet = av_packet_alloc();
    codec_->frame = av_frame_alloc();
    if (!codec_->context || !codec_->packet || !codec_->frame) throw std::runtime_error("out of memory");
    codec_->context->thread_count = 1;
    if (avcodec_open2(codec_->context, decoder, nullptr) < 0) throw std::runtime_error("the MJPEG decoder does not open");
}

CameraFrameDecoder::~CameraFrameDecoder() = default;

bool CameraFrameDecoder::decode(const uint8_t* data, size_t bytes, size_t bytesPerLine, uint8_t* bgra,
                                size_t bgraBytesPerRow) {
    if (format_ == V4L2_PIX_FMT_MJPEG) return decodeJpeg(data, bytes, bgra, bgraBytesPerRow);
    const size_t stride = bytesPerLine ? bytesPerLine : size_t(width_) * 2;
    if (bytes < stride * size_t(height_)) return false;
    return libyuv::YUY2ToARGB(data, int(stride), bgra, int(bgraBytesPerRow), width_, height_) == 0;
}

bool CameraFrameDecoder::decodeJpeg(const uint8_t* data, size_t bytes, uint8_t* bgra, size_t bgraBytesPerRow) {
    AVPacket* packet = codec_->packet;
    packet->data = const_cast<uint8_t*>(data);
    packet->size = int(bytes);
    int sent = avcodec_send_packet(codec_->context, packet);
    av_packet_unref(packet);
    if (sent < 0) return false;
    AVFrame* frame = codec_->frame;
    if (avcodec_receive_frame(codec_->context, frame) < 0) return false;
    struct Unref {
        AVFrame* frame;
        ~Unref() { av_frame_unref(frame); }
    } unref{frame};
    if (frame->width != width_ || frame->height != height_) return false;
    const auto* y = frame->data[0];
    const auto* u = frame->data[1];
    const auto* v = frame->data[2];
    const int ys = frame->linesize[0], us = frame->linesize[1], vs = frame->linesize[2];
    const int stride = int(bgraBytesPerRow);
    // Webcams send full-range (JPEG) YCbCr; libyuv's J* conversions are for that range.
    switch (frame->format) {
    case AV_PIX_FMT_YUVJ420P: return libyuv::J420ToARGB(y, ys, u, us, v, vs, bgra, stride, width_, height_) == 0;
    case AV_PIX_FMT_YUVJ422P: return libyuv::J422ToARGB(y, ys, u, us, v, vs, bgra, stride, width_, height_) == 0;
    case AV_PIX_FMT_YUVJ444P: return libyuv::J444ToARGB(y, ys, u, us, v, vs, bgra, stride, width_, height_) == 0;
    default: break;
    }
    codec_->scaler = sws_getCachedContext(codec_->scaler, width_, height_, AVPixelFormat(frame->format), width_, height_,
                                          AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
    if (!codec_->scaler) return false;
    uint8_t* destination[1] = {bgra};
    int destinationStride[1] = {stride};
    return sws_scale(codec_->scaler, frame->data, frame->linesize, 0, height_, destination, destinationStride) == height_;
}

} // namespace platform::linux_backend
