#include "writer/frame_converter.h"

#include "writer/bgra_to_yuv.h"
#include "common/ffmpeg_error.h"

#include <libyuv.h>

#include <algorithm>
#include <cstring>

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

namespace {

// The spans widened to even rows, clipped to the picture, merged where they meet.
std::vector<RowSpan> evenSpans(std::vector<RowSpan> rows, int height) {
    std::sort(rows.begin(), rows.end(), [](const RowSpan& a, const RowSpan& b) { return a.begin < b.begin; });
    std::vector<RowSpan> spans;
    for (const RowSpan& span : rows) {
        const int begin = std::max(0, span.begin & ~1);
        const int end = std::min(height, (span.end + 1) & ~1);
        if (begin >= end) continue;
        if (!spans.empty() && begin <= spans.back().end) {
            spans.back().end = std::max(spans.back().end, end);
        } else {
            spans.push_back({begin, end});
        }
    }
    return spans;
}

void copyPlaneRows(const AVFrame& from, AVFrame* to, int plane, int begin, int end, int bytesPerRow) {
    for (int row = begin; row < end; ++row) {
        std::memcpy(to->data[plane] + static_cast<ptrdiff_t>(row) * to->linesize[plane],
                    from.data[plane] + static_cast<ptrdiff_t>(row) * from.linesize[plane], bytesPerRow);
    }
}

} // namespace

void FrameConverter::convertChanged(const PixelBuffer& source, const std::vector<RowSpan>& rows,
                                    const AVFrame& previous, AVFrame* frame) {
    const bool rowsConvertible = !scaler_ && sourceFormat_ == pixel_format::bgra && previous.format == frame->format &&
                                 previous.width == width_ && previous.height == height_;
    if (!rowsConvertible) return convert(source, frame);
    checkSource(source);
    const PixelPlane& plane = source.planes.front();
    const auto copyRows = [&](int begin, int end) {
        if (begin >= end) return;
        copyPlaneRows(previous, frame, 0, begin, end, width_);
        copyPlaneRows(previous, frame, 1, begin / 2, end / 2, width_ / 2);
        copyPlaneRows(previous, frame, 2, begin / 2, end / 2, width_ / 2);
    };
    int copiedTo = 0;
    for (const RowSpan& span : evenSpans(rows, height_)) {
        copyRows(copiedTo, span.begin);
        bgraToI420Bt709(plane.data + static_cast<size_t>(span.begin) * plane.bytesPerRow, plane.bytesPerRow, width_,
                        span.end - span.begin,
                        {frame->data[0] + static_cast<ptrdiff_t>(span.begin) * frame->linesize[0], frame->linesize[0],
                         frame->data[1] + static_cast<ptrdiff_t>(span.begin / 2) * frame->linesize[1],
                         frame->linesize[1],
                         frame->data[2] + static_cast<ptrdiff_t>(span.begin / 2) * frame->linesize[2],
                         frame->linesize[2]});
        copiedTo = span.end;
    }
    copyRows(copiedTo, height_);
}

void FrameConverter::checkSource(const PixelBuffer& source) const {
    if (source.planes.empty() || source.width < width_ || source.height < height_ || source.pixelFormat != sourceFormat_)
        throw PlatformError(kAssetWriterErrorDomain, AVERROR(EINVAL),
                            "Frame of " + std::to_string(source.width) + "x" + std::to_string(source.height) + " '" +
                                fourCharCodeString(source.pixelFormat) + "' does not match the input's " +
                                std::to_string(width_) + "x" + std::to_string(height_) + " '" +
                                fourCharCodeString(sourceFormat_) + "'");
}

void FrameConverter::convert(const PixelBuffer& source, AVFrame* frame) {
    checkSource(source);
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
