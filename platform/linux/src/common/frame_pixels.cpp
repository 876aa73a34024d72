#include "common/frame_pixels.h"

#include <algorithm>

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

namespace platform::linux_backend {

bool isDeliverablePixelFormat(FourCharCode format) {
    return format == pixel_format::bgra || format == pixel_format::argb2101010;
}

bool FrameRenderer::passesThrough(const BgraView& source) const {
    return format_ == pixel_format::bgra && source.width == width_ && source.height == height_;
}

namespace {

struct Placement {
    int32_t x, y, width, height;
};

// Where a picture of the source's size goes in a frame of width x height: as large as it
// fits with its aspect kept, centred. A picture whose aspect differs from the frame's (the
// screen changed its size while recording) gets black bars.
Placement placeKeepingAspect(int32_t sourceWidth, int32_t sourceHeight, int32_t width, int32_t height) {
    if (int64_t(sourceWidth) * height == int64_t(sourceHeight) * width) return {0, 0, width, height};
    Placement placed{0, 0, width, height};
    if (int64_t(sourceWidth) * height > int64_t(sourceHeight) * width) {
        placed.height = std::max<int32_t>(1, int32_t((int64_t(sourceHeight) * width + sourceWidth / 2) / sourceWidth));
        placed.y = (height - placed.height) / 2;
    } else {
        placed.width = std::max<int32_t>(1, int32_t((int64_t(sourceWidth) * height + sourceHeight / 2) / sourceHeight));
        placed.x = (width - placed.width) / 2;
    }
    return placed;
}

// Scales `source` into a BGRA frame of width x height at `destination`, aspect kept.
void scaleInto(const BgraView& source, uint8_t* destination, size_t bytesPerRow, int32_t width, int32_t height) {
    const Placement placed = placeKeepingAspect(source.width, source.height, width, height);
    if (placed.width != width || placed.height != height)
        libyuv::ARGBRect(destination, int(bytesPerRow), 0, 0, width, height, 0xff000000u);
    libyuv::ARGBScale(source.data, int(source.bytesPerRow), source.width, source.height,
                      destination + size_t(placed.y) * bytesPerRow + size_t(placed.x) * 4, int(bytesPerRow),
                      placed.width, placed.height, libyuv::kFilterBox);
}

} // namespace

void FrameRenderer::render(const BgraView& source, uint8_t* destination, size_t bytesPerRow) {
    const bool scale = source.width != width_ || source.height != height_;
    if (format_ == pixel_format::bgra) {
        if (scale) {
            scaleInto(source, destination, bytesPerRow, width_, height_);
        } else {
            libyuv::ARGBCopy(source.data, int(source.bytesPerRow), destination, int(bytesPerRow), width_, height_);
        }
        return;
    }
    BgraView packed = source;
    if (scale) {
        scaled_.resize(size_t(width_) * size_t(height_) * 4);
        scaleInto(source, scaled_.data(), size_t(width_) * 4, width_, height_);
        packed = {scaled_.data(), size_t(width_) * 4, width_, height_};
    }
    libyuv::ARGBToAR30(packed.data, int(packed.bytesPerRow), destination, int(bytesPerRow), width_, height_);
}

} // namespace platform::linux_backend
