#include "common/frame_pixels.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

namespace platform::linux_backend {

bool isDeliverablePixelFormat(FourCharCode format) {
    return format == pixel_format::bgra || format == pixel_format::argb2101010;
}

bool FrameRenderer::passesThrough(const BgraView& source) const {
    return format_ == pixel_format::bgra && source.width == width_ && source.height == height_;
}

void FrameRenderer::render(const BgraView& source, uint8_t* destination, size_t bytesPerRow) {
    const bool scale = source.width != width_ || source.height != height_;
    if (format_ == pixel_format::bgra) {
        if (scale) {
            libyuv::ARGBScale(source.data, int(source.bytesPerRow), source.width, source.height, destination,
                              int(bytesPerRow), width_, height_, libyuv::kFilterBox);
        } else {
            libyuv::ARGBCopy(source.data, int(source.bytesPerRow), destination, int(bytesPerRow), width_, height_);
        }
        return;
    }
    BgraView packed = source;
    if (scale) {
        scaled_.resize(size_t(width_) * size_t(height_) * 4);
        libyuv::ARGBScale(source.data, int(source.bytesPerRow), source.width, source.height, scaled_.data(),
                          width_ * 4, width_, height_, libyuv::kFilterBox);
        packed = {scaled_.data(), size_t(width_) * 4, width_, height_};
    }
    libyuv::ARGBToAR30(packed.data, int(packed.bytesPerRow), destination, int(bytesPerRow), width_, height_);
}

} // namespace platform::linux_backend
