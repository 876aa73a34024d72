#include "fake_v4l2_kernel.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace test_support {
namespace {

constexpr size_t kPage = 4096;

int fail(int error) {
    errno = error;
    return -1;
}

uint8_t clampByte(double value) { return uint8_t(std::min(255.0, std::max(0.0, value + 0.5))); }

// Limited-range BT.601, as webcams send YUYV.
std::vector<uint8_t> yuyv(FakeV4l2Size size, double r, double g, double b) {
    uint8_t y = clampByte(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255);
    uint8_t u = clampByte(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255);
    uint8_t v = clampByte(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255);
    std::vector<uint8_t> bytes(size_t(size.width) * size.height * 2);
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
        bytes[i] = y;
        bytes[i + 1] = u;
        bytes[i + 2] = y;
        bytes[i + 3] = v;
    }
    return bytes;
}

// Full-range BT.601 (JPEG) 4:2:0, encoded by libavcodec's MJPEG encoder.
std::vector<uint8_t> jpeg(FakeV4l2Size size, double r, double g, double b) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!encoder) throw std::runtime_error("no MJPEG encoder");
    AVCodecContext* context = avcodec_alloc_context3(encoder);
    context->width = int(size.width);
    context->height = int(size.height);
    context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    context->time_base = {1, 30};
    context->flags |= AV_CODEC_FLAG_QSCALE;
    context->global_quality = FF_QP2LAMBDA * 2;
    if (avcodec_open2(context, encoder, nullptr) < 0) {
        avcodec_free_context(&context);
        throw std::runtime_error("the MJPEG encoder does not open");
    }
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

// Copies the text into a fixed field as the kernel does: zero-terminated when it fits.
template <size_t N>
void copyField(uint8_t (&field)[N], const std::string& text) {
    std::memcpy(field, text.data(), std::min(text.size(), N));
}

const FakeV4l2Format* formatOf(const FakeV4l2Node& node, uint32_t pixelFormat) {
    for (const auto& format : node.formats) {
        if (format.pixelFormat == pixelFormat) return &format;
    }
    return nullptr;
}

} // namespace

std::shared_ptr<FakeV4l2Kernel> FakeV4l2Kernel::withCamera(std::vector<FakeV4l2Format> formats,
                                                           FakeCameraColour colour) {
    auto kernel = std::make_shared<FakeV4l2Kernel>();
    FakeV4l2Node camera;
    camera.formats = std::move(formats);
    camera.colour = colour;
    kernel->addNode(kCameraNode, std::move(camera));
    kernel->addByIdName(kCameraUniqueID, kCameraNode);
    return kernel;
}

void FakeV4l2Kernel::addNode(const std::string& path, FakeV4l2Node node) {
    Node fresh;
    fresh.script = std::move(node);
    std::lock_guard guard(mutex_);
    nodes_.insert_or_assign(path, std::move(fresh));
}

void FakeV4l2Kernel::addByIdName(const std::string& name, const std::string& path) {
    std::lock_guard guard(mutex_);
    byIdNames_.emplace_back(name, path);
    std::sort(byIdNames_.begin(), byIdNames_.end());
}

void FakeV4l2Kernel::setOpensAllowed(int opens) {
    std::lock_guard guard(mutex_);
    opensAllowed_ = opens;
}

void FakeV4l2Kernel::setOneOpenAtATime(bool exclusive) {
    std::lock_guard guard(mutex_);
    oneOpenAtATime_ = exclusive;
}

void FakeV4l2Kernel::stallFrames(const std::string& path) {
    std::lock_guard guard(mutex_);
    nodes_.at(path).stalled = true;
}

void FakeV4l2Kernel::unplug(const std::string& path) {
    std::lock_guard guard(mutex_);
    nodes_.at(path).unplugged = true;
}

void FakeV4l2Kernel::interruptNextWait() {
    std::lock_guard guard(mutex_);
    interruptNextWait_ = true;
}

std::vector<std::string> FakeV4l2Kernel::videoNodes() {
    std::lock_guard guard(mutex_);
    std::vector<std::string> paths;
    for (const auto& [path, node] : nodes_) paths.push_back(path);
    // In the order of their numbers: "/dev/video2" before "/dev/video10".
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        return std::pair(a.size(), a) < std::pair(b.size(), b);
    });
    return paths;
}

std::vector<std::pair<std::string, std::string>> FakeV4l2Kernel::byIdNames() {
    std::lock_guard guard(mutex_);
    return byIdNames_;
}

int FakeV4l2Kernel::open(const std::string& path, int) {
    std::lock_guard guard(mutex_);
    const auto found = nodes_.find(path);
    if (found == nodes_.end()) return fail(ENOENT);
    if (found->second.unplugged) return fail(ENODEV);
    if (found->second.script.openError != 0) return fail(found->second.script.openError);
    if (opensAllowed_ == 0) return fail(EBUSY);
    if (oneOpenAtATime_ && std::any_of(open_.begin(), open_.end(), [&](const auto& open) { return open.second == path; }))
        return fail(EBUSY);
    if (opensAllowed_ > 0) --opensAllowed_;
    open_[nextFd_] = path;
    return nextFd_++;
}

int FakeV4l2Kernel::close(int fd) {
    std::lock_guard guard(mutex_);
    return open_.erase(fd) ? 0 : fail(EBADF);
}

FakeV4l2Kernel::Node* FakeV4l2Kernel::nodeOf(int fd) {
    const auto open = open_.find(fd);
    return open == open_.end() ? nullptr : &nodes_.at(open->second);
}

int FakeV4l2Kernel::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard guard(mutex_);
    Node* node = nodeOf(fd);
    if (!node) return fail(EBADF);
    if (node->unplugged) return fail(ENODEV);
    const FakeV4l2Node& script = node->script;
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* capability = static_cast<v4l2_capability*>(argument);
        *capability = {};
        copyField(capability->driver, script.driver);
        copyField(capability->card, script.card);
        copyField(capability->bus_info, script.busInfo);
        capability->device_caps = script.reportsDeviceCaps ? script.deviceCaps : 0;
        capability->capabilities = script.deviceCaps | (script.reportsDeviceCaps ? V4L2_CAP_DEVICE_CAPS : 0);
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* description = static_cast<v4l2_fmtdesc*>(argument);
        if (description->index >= script.formats.size()) return fail(EINVAL);
        description->pixelformat = script.formats[description->index].pixelFormat;
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* size = static_cast<v4l2_frmsizeenum*>(argument);
        const FakeV4l2Format* format = formatOf(script, size->pixel_format);
        if (!format || size->index >= format->sizes.size()) return fail(EINVAL);
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete.width = format->sizes[size->index].width;
        size->discrete.height = format->sizes[size->index].height;
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto* interval = static_cast<v4l2_frmivalenum*>(argument);
        const FakeV4l2Format* format = formatOf(script, interval->pixel_format);
        if (!format || interval->index >= format->intervals.size()) return fail(EINVAL);
        const bool offered = std::any_of(format->sizes.begin(), format->sizes.end(), [&](const FakeV4l2Size& size) {
            return size.width == interval->width && size.height == interval->height;
        });
        if (!offered) return fail(EINVAL);
        interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        interval->discrete = format->intervals[interval->index];
        return 0;
    }
    default: return captureIoctl(*node, request, argument);
    }
}

int FakeV4l2Kernel::captureIoctl(Node& node, unsigned long request, void* argument) {
    switch (request) {
    case VIDIOC_S_FMT: {
        auto* format = static_cast<v4l2_format*>(argument);
        if (node.streaming || !node.buffers.empty()) return fail(EBUSY);
        node.format = format->fmt.pix.pixelformat;
        node.size = {format->fmt.pix.width, format->fmt.pix.height};
        const auto& colour = node.script.colour;
        node.frame = node.format == V4L2_PIX_FMT_MJPEG ? jpeg(node.size, colour.red, colour.green, colour.blue)
                                                       : yuyv(node.size, colour.red, colour.green, colour.blue);
        const bool packed = node.format == V4L2_PIX_FMT_YUYV;
        format->fmt.pix.bytesperline = packed ? node.size.width * 2 : 0;
        format->fmt.pix.sizeimage = uint32_t(packed ? node.frame.size() : size_t(node.size.width) * node.size.height * 2);
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* buffers = static_cast<v4l2_requestbuffers*>(argument);
        if (buffers->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
        if (node.streaming) return fail(EBUSY);
        size_t bytes = (size_t(node.size.width) * node.size.height * 2 + kPage - 1) / kPage * kPage;
        node.buffers.assign(buffers->count, std::vector<uint8_t>(bytes));
        node.queued.assign(buffers->count, false);
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= node.buffers.size()) return fail(EINVAL);
        buffer->length = uint32_t(node.buffers[buffer->index].size());
        buffer->m.offset = uint32_t(buffer->index * node.buffers[0].size());
        if (request == VIDIOC_QBUF) node.queued[buffer->index] = true;
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (!node.streaming) return fail(EINVAL);
        if (node.stalled) return fail(EAGAIN);
        for (size_t index = 0; index < node.queued.size(); ++index) {
            if (!node.queued[index]) continue;
            node.queued[index] = false;
            std::memcpy(node.buffers[index].data(), node.frame.data(), node.frame.size());
            buffer->index = uint32_t(index);
            buffer->bytesused = uint32_t(node.frame.size());
            buffer->sequence = uint32_t(node.sequence++);
            // No driver timestamp: the backend stamps the frame when it takes it.
            buffer->flags = V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN;
            return 0;
        }
        return fail(EAGAIN);
    }
    case VIDIOC_STREAMON: node.streaming = true; return 0;
    case VIDIOC_STREAMOFF: node.streaming = false; return 0;
    default: return fail(ENOTTY);
    }
}

void* FakeV4l2Kernel::mmap(size_t length, int, int, int fd, long offset) {
    std::lock_guard guard(mutex_);
    Node* node = nodeOf(fd);
    if (!node || node->buffers.empty()) return fail(EINVAL), MAP_FAILED;
    size_t index = size_t(offset) / node->buffers[0].size();
    if (index >= node->buffers.size() || length > node->buffers[index].size()) return fail(EINVAL), MAP_FAILED;
    ++mapped_;
    return node->buffers[index].data();
}

int FakeV4l2Kernel::munmap(void*, size_t) {
    std::lock_guard guard(mutex_);
    --mapped_;
    return 0;
}

int FakeV4l2Kernel::poll(int fd, short, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // one frame every 10 ms
    std::lock_guard guard(mutex_);
    Node* node = nodeOf(fd);
    if (!node) return fail(EBADF);
    if (std::exchange(interruptNextWait_, false)) return fail(EINTR);
    if (node->unplugged) return 1;  // POLLERR
    if (!node->streaming || node->stalled) return 0;
    return std::find(node->queued.begin(), node->queued.end(), true) != node->queued.end() ? 1 : 0;
}

uint32_t FakeV4l2Kernel::chosenFormat(const std::string& path) const {
    std::lock_guard guard(mutex_);
    return nodes_.at(path).format;
}

FakeV4l2Size FakeV4l2Kernel::chosenSize(const std::string& path) const {
    std::lock_guard guard(mutex_);
    return nodes_.at(path).size;
}

bool FakeV4l2Kernel::streaming(const std::string& path) const {
    std::lock_guard guard(mutex_);
    return nodes_.at(path).streaming;
}

int FakeV4l2Kernel::openDescriptors() const {
    std::lock_guard guard(mutex_);
    return int(open_.size());
}

int FakeV4l2Kernel::mappedBuffers() const {
    std::lock_guard guard(mutex_);
    return mapped_;
}

} // namespace test_support
