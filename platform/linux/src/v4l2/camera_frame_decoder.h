#pragma once
// Turns webcam frames into BGRA: packed YUYV (libyuv) or MJPEG (libavcodec's
// decoder, then libyuv for the JPEG colour range).

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform::linux_backend {

class CameraFrameDecoder {
public:
    // For a V4L2 pixel format (V4L2_PIX_FMT_YUYV or V4L2_PIX_FMT_MJPEG) at the given size.
    // Throws std::runtime_error for other formats.
    CameraFrameDecoder(uint32_t v4l2PixelFormat, int32_t width, int32_t height);
    ~CameraFrameDecoder();
    CameraFrameDecoder(const CameraFrameDecoder&) = delete;
    CameraFrameDecoder& operator=(const CameraFrameDecoder&) = delete;

    static bool decodes(uint32_t v4l2PixelFormat);

    // Writes width x height BGRA pixels; false for a frame that does not decode
    // (truncated, corrupt, or of another size).
    bool decode(const uint8_t* data, size_t bytes, size_t bytesPerLine, uint8_t* bgra, size_t bgraBytesPerRow);

private:
    bool decodeJpeg(const uint8_t* data, size_t bytes, uint8_t* bgra, size_t bgraBytesPerRow);

    uint32_t format_;
    int32_t width_;
    int32_t height_;
    struct Codec;
    std::unique_ptr<Codec> codec_;  // MJPEG only
};

} // namespace platform::linux_backend
