#include "fake_camera_kernel.h"

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace capture_test {
namespace {

constexpr size_t kPage = 4096;

uint8_t clampByte(double value) { return uint8_t(std::min(255.0, std::max(0.0, value + 0.5))); }

// Limited-range BT.601, as webcams send YUYV.
std::vector<uint8_t> yuyv(uint32_t width, uint32_t height, double r, double g, double b) {
    uint8_t y = clampByte(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255);
    uint8_t u = clampByte(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255);
    uint8_t v = clampByte(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255);
    std::vector<uint8_t> bytes(size_t(width) * height * 2);
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
        bytes[i] = y;
        bytes[i + 1] = u;
        bytes[i + 2] = y;
        bytes[i + 3] = v;
    }
    return bytes;
}

// Full-range BT.601 (JPEG) 4:2:0, encoded by libavcodec's MJPEG encoder.
std::vector<uint8_t> jpeg(uint32_t width, uint32_t height, double r, double g, double b) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!encoder) throw std::runtime_error("no MJPEG encoder");
    AVCodecContext* context = avcodec_alloc_context3(encoder);
    context->width = int(width);
    context->height = int(height);
    context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    context->time_base = {1, 30};
    context->flags |= AV_CODEC_FLAG_QSCALE;
    context->global_quality = FF_QP2LAMBDA * 2;
    if (avcodec_open2(context, encoder, nullptr) < 0) throw std::runtime_error("the MJPEG encoder does not open");
    AVFrame* frame = av_frame_alloc();
    frame->format = context->pix_fmt;
    frame->width = context->width;
    frame->height = context->height;
    av_frame_get_buffer(frame, 0);
    uint8_t y = clampByte(0.299 * r + 0.587 * g + 0.114 * b);
    uint8_t cb = clampByte(128 - 0.168736 * r - 0.331264 * g + 0.5 * b);
    uint8_t cr = clampByte(128 + 0.5 * r - 0.418688 * g - 0.081312 * b);
    for (int row = 0; row < frame->height; ++row) std::memset(frame->data[0] + row * frame->linesize[0], y, size_t(frame->width));
    for (int row = 0; row < frame->height / 2; ++row) {
        std::memset(frame->data[1] + row * frame->linesize[1], cb, size_t(frame->width / 2));
        std::memset(frame->data[2] + row * frame->linesize[2], cr, size_t(frame->width / 2));
    }
    frame->pts = 0;
    AVPacket* packet = av_packet_alloc();
    std::vector<uint8_t> bytes;
    if (avcodec_send_frame(context, frame) == 0 && avcodec_receive_packet(context, packet) == 0) {
        bytes.assign(packet->data, packet->data + packet->size);
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return bytes;
}

} // namespace

FakeCameraKernel::FakeCameraKernel(std::vector<FakeCameraFormat> formats, uint8_t red, uint8_t green, uint8_t blue)
    : formats_(std::move(formats)), red_(red), green_(green), blue_(blue) {}

int FakeCameraKernel::fail(int error) {
    errno = error;
    return -1;
}

int FakeCameraKernel::open(const std::string& path, int) {
    std::lock_guard guard(mutex_);
    if (path != kNode) return fail(ENOENT);
    if (opensAllowed == 0) return fail(EBUSY);
    if (opensAllowed > 0) --opensAllowed;
    open_[nextFd_] = true;
    return nextFd_++;
}

int FakeCameraKernel::close(int fd) {
    std::lock_guard guard(mutex_);
    return open_.erase(fd) ? 0 : fail(EBADF);
}

std::vector<uint8_t> FakeCameraKernel::frameBytes() const {
    if (format_ == V4L2_PIX_FMT_MJPEG) return jpeg(width_, height_, red_, green_, blue_);
    return yuyv(width_, height_, red_, green_, blue_);
}

int FakeCameraKernel::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard guard(mutex_);
    if (!open_.count(fd)) return fail(EBADF);
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* capability = static_cast<v4l2_capability*>(argument);
        *capability = {};
        std::memcpy(capability->driver, "uvcvideo", 9);
        std::memcpy(capability->card, "Fake Camera", 12);
        std::memcpy(capability->bus_info, "usb-fake-1", 11);
        capability->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        capability->capabilities = capability->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* description = static_cast<v4l2_fmtdesc*>(argument);
        if (description->index >= formats_.size()) return fail(EINVAL);
        description->pixelformat = formats_[description->index].pixelFormat;
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* size = static_cast<v4l2_frmsizeenum*>(argument);
        for (const auto& format : formats_) {
            if (format.pixelFormat != size->pixel_format) continue;
            if (size->index >= format.sizes.size()) return fail(EINVAL);
            size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            size->discrete.width = format.sizes[size->index].first;
            size->discrete.height = format.sizes[size->index].second;
            return 0;
        }
        return fail(EINVAL);
    }
    case VIDIOC_S_FMT: {
        auto* format = static_cast<v4l2_format*>(argument);
        if (streaming_ || !buffers_.empty()) return fail(EBUSY);
        format_ = format->fmt.pix.pixelformat;
        width_ = format->fmt.pix.width;
        height_ = format->fmt.pix.height;
        frame_ = frameBytes();
        format->fmt.pix.bytesperline = format_ == V4L2_PIX_FMT_YUYV ? width_ * 2 : 0;
        format->fmt.pix.sizeimage = uint32_t(format_ == V4L2_PIX_FMT_YUYV ? frame_.size() : width_ * height_ * 2);
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* request = static_cast<v4l2_requestbuffers*>(argument);
        if (request->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
        if (streaming_) return fail(EBUSY);
        size_t bytes = (size_t(width_) * height_ * 2 + kPage - 1) / kPage * kPage;
        buffers_.assign(request->count, std::vector<uint8_t>(bytes));
        queued_.assign(request->count, false);
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= buffers_.size()) return fail(EINVAL);
        buffer->length = uint32_t(buffers_[buffer->index].size());
        buffer->m.offset = uint32_t(buffer->index * buffers_[0].size());
        if (request == VIDIOC_QBUF) queued_[buffer->index] = true;
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (!streaming_) return fail(EINVAL);
        for (size_t index = 0; index < queued_.size(); ++index) {
            if (!queued_[index]) continue;
            queued_[index] = false;
            std::memcpy(buffers_[index].data(), frame_.data(), frame_.size());
            buffer->index = uint32_t(index);
            buffer->bytesused = uint32_t(frame_.size());
            buffer->sequence = uint32_t(sequence_++);
            // No driver timestamp: the backend stamps the frame when it takes it.
            buffer->flags = V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN;
            return 0;
        }
        return fail(EAGAIN);
    }
    case VIDIOC_STREAMON: streaming_ = true; return 0;
    case VIDIOC_STREAMOFF:
        streaming_ = false;
        return 0;
    default: return fail(ENOTTY);
    }
}

void* FakeCameraKernel::mmap(size_t length, int, int, int fd, long offset) {
    std::lock_guard guard(mutex_);
    if (!open_.count(fd) || buffers_.empty()) return fail(EINVAL), MAP_FAILED;
    size_t index = size_t(offset) / buffers_[0].size();
    if (index >= buffers_.size() || length > buffers_[index].size()) return fail(EINVAL), MAP_FAILED;
    ++mapped_;
    return buffers_[index].data();
}

int FakeCameraKernel::munmap(void*, size_t) {
    std::lock_guard guard(mutex_);
    --mapped_;
    return 0;
}

int FakeCameraKernel::poll(int fd, short, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // one frame every 10 ms
    std::lock_guard guard(mutex_);
    if (!open_.count(fd)) return fail(EBADF);
    for (bool queued : queued_) {
        if (queued && streaming_) return 1;
    }
    return 0;
}

uint32_t FakeCameraKernel::chosenFormat() const {
    std::lock_guard guard(mutex_);
    return format_;
}

std::pair<uint32_t, uint32_t> FakeCameraKernel::chosenSize() const {
    std::lock_guard guard(mutex_);
    return {width_, height_};
}

int FakeCameraKernel::openDescriptors() const {
    std::lock_guard guard(mutex_);
    return int(open_.size());
}

int FakeCameraKernel::mappedBuffers() const {
    std::lock_guard guard(mutex_);
    return mapped_;
}

bool FakeCameraKernel::streaming() const {
    std::lock_guard guard(mutex_);
    return streaming_;
}

} // namespace capture_test
