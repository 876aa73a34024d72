#include "writer/frame_converter.h"

#include "writer/bgra_to_yuv.h"
#include "common/ffmpeg_error.h"

#include <libyuv.h>

extern "C" {
#include <libswscale/swscale.h>
}

namespace platform::linux_backend {

namespace {

AVPixelFormat ffmpegSourceFormat(FourCharCode format) {
    if (format == pixel_format::bgra) return AV_PIX_FMT_BGRA;
    if (format == pixel_format::argb2101010) return AV_PIX_FMT_X2RGB10LE;
    return AV_PIX_FMT_NONE;
}

} // namespace

FrameConverter::FrameConverter(FourCharCode sourceFormat, int width, int height, AVPixelFormat target)
    : sourceFormat_(sourceFormat), width_(width), height_(height) {
    const AVPixelFormat source = ffmpegSourceFormat(sourceFormat);
    if (source == AV_PIX_FMT_NONE)
        throw PlatformError(kAssetWriterErrorDomain, AVERROR(EINVAL),
                            "Unsupported pixel format '" + fourCharCodeString(sourceFormat) + "'");
    if (target == AV_PIX_FMT_YUV420P) return;  // our own BT.709 kernel, no libswscale
    scaler_ = sws_getContext(width, height, source, width, height, target, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!scaler_) throw PlatformError(kAssetWriterErrorDomain, AVERROR(EINVAL), "Cannot set up the colour conversion");
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(scaler_, bt709, /*srcRange full*/ 1, bt709, /*dstRange limited*/ 0, 0, 1 << 16, 1 << 16);
}

FrameConverter::~FrameConverter() { sws_freeContext(scaler_); }

void FrameConverter::convert(const PixelBuffer& source, AVFrame* frame) {
    if (source.planes.empty() || source.width < width_ || source.height < height_ || source.pixelFormat != sourceFormat_)
        throw PlatformError(kAssetWriterErrorDomain, AVERROR(EINVAL),
                            "Frame of " + std::to_string(source.width) + "x" + std::to_string(source.height) + " '" +
                                fourCharCodeString(source.pixelFormat) + "' does not match the input's " +
                                std::to_string(width_) + "x" + std::to_string(height_) + " '" +
                                fourCharCodeString(sourceFormat_) + "'");
    if (!scaler_) return convertToI420(source, frame);
    const PixelPlane& plane = source.planes.front();
    const uint8_t* planes[1] = {plane.data};
    const int strides[1] = {static_cast<int>(plane.bytesPerRow)};
    sws_scale(scaler_, planes, strides, 0, height_, frame->data, frame->linesize);
}

void FrameConverter::convertToI420(const PixelBuffer& source, AVFrame* frame) {
    const PixelPlane& plane = source.planes.front();
    const uint8_t* bgra = plane.data;
    size_t stride = plane.bytesPerRow;
    if (sourceFormat_ == pixel_format::argb2101010) {
        bgraScratch_.resize(static_cast<size_t>(width_) * height_ * 4);
        libyuv::AR30ToARGB(plane.data, static_cast<int>(plane.bytesPerRow), bgraScratch_.data(), width_ * 4,
                           width_, height_);
        bgra = bgraScratch_.data();
        stride = static_cast<size_t>(width_) * 4;
    }
    bgraToI420Bt709(bgra, stride, width_, height_,
                    {frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1], frame->data[2],
                     frame->linesize[2]});
}

} // namespace platform::linux_backend
