#include "platform/linux/x_preview_windows.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::linux_backend {
namespace {

double coverageAt(double x, double y, int width, int height, const PreviewWindowStyle& style) {
    double distance, radius;
    if (style.circular) {
        radius = std::min(width, height) / 2.0;
        distance = std::hypot(x - width / 2.0, y - height / 2.0);
    } else {
        radius = std::clamp(style.cornerRadius, 0.0, std::min(width, height) / 2.0);
        // Distance from the nearest point of the rectangle shrunk by the radius.
        double nearX = std::clamp(x, radius, width - radius);
        double nearY = std::clamp(y, radius, height - radius);
        distance = std::hypot(x - nearX, y - nearY);
        if (distance == 0) return 1;
    }
    return std::clamp(radius - distance + 0.5, 0.0, 1.0);
}

} // namespace

std::vector<uint8_t> previewCoverage(int width, int height, const PreviewWindowStyle& style) {
    std::vector<uint8_t> coverage(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double value = coverageAt(x + 0.5, y + 0.5, width, height, style);
            coverage[size_t(y) * width + x] = static_cast<uint8_t>(std::lround(value * 255));
        }
    }
    return coverage;
}

void drawPreviewFrame(const uint8_t* source, size_t sourceStride, int sourceWidth, int sourceHeight, uint8_t* target,
                      int width, int height, VideoGravity gravity, const std::vector<uint8_t>& coverage) {
    const int targetStride = width * 4;
    if (gravity == VideoGravity::resizeAspect) {
        // Whole picture, centred, with clear bars where the aspect ratios differ.
        double scale = std::min(double(width) / sourceWidth, double(height) / sourceHeight);
        int fittedWidth = std::clamp(int(std::lround(sourceWidth * scale)), 1, width);
        int fittedHeight = std::clamp(int(std::lround(sourceHeight * scale)), 1, height);
        int left = (width - fittedWidth) / 2, top = (height - fittedHeight) / 2;
        if (fittedWidth != width || fittedHeight != height) std::memset(target, 0, size_t(targetStride) * height);
        libyuv::ARGBScale(source, int(sourceStride), sourceWidth, sourceHeight, target + top * targetStride + left * 4,
                          targetStride, fittedWidth, fittedHeight, libyuv::kFilterBilinear);
    } else {
        // The middle of the picture, as much as fills the window.
        double scale = std::max(double(width) / sourceWidth, double(height) / sourceHeight);
        int croppedWidth = std::clamp(int(std::lround(width / scale)), 1, sourceWidth);
        int croppedHeight = std::clamp(int(std::lround(height / scale)), 1, sourceHeight);
        int left = (sourceWidth - croppedWidth) / 2, top = (sourceHeight - croppedHeight) / 2;
        libyuv::ARGBScale(source + size_t(top) * sourceStride + size_t(left) * 4, int(sourceStride), croppedWidth,
                          croppedHeight, target, targetStride, width, height, libyuv::kFilterBilinear);
    }
    if (coverage.empty()) return;
    // Premultiplied alpha: the coverage scales every channel; inside pixels are opaque.
    const size_t count = size_t(width) * height;
    for (size_t i = 0; i < count; ++i) {
        uint8_t* pixel = target + i * 4;
        const unsigned alpha = coverage[i];
        if (alpha == 255) {
            pixel[3] = 255;
        } else {
            for (int channel = 0; channel < 3; ++channel) pixel[channel] = uint8_t(pixel[channel] * alpha / 255);
            pixel[3] = uint8_t(alpha);
        }
    }
}

} // namespace platform::linux_backend
