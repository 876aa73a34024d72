#pragma once
// Turns a grabbed BGRA picture into the frame a stream delivers: scaled to the
// configured size (libyuv box filter, aspect kept, black bars where it differs) and in the configured pixel format (BGRA,
// or packed 10-bit ARGB2101010 widened from the 8-bit picture).

#include "platform/format_description.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::linux_backend {

struct BgraView {
    const uint8_t* data = nullptr;
    size_t bytesPerRow = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Bytes a pixel of the delivered formats takes: both are 32-bit packed.
inline constexpr size_t kDeliveredBytesPerPixel = 4;

// Whether the stream's pixel format is one this backend delivers.
bool isDeliverablePixelFormat(FourCharCode format);

class FrameRenderer {
public:
    FrameRenderer(FourCharCode format, int32_t width, int32_t height) : format_(format), width_(width), height_(height) {}

    // Whether `source` can be delivered as it is (same size, BGRA).
    bool passesThrough(const BgraView& source) const;
    // Writes the delivered frame to `destination` (width x height, `bytesPerRow` apart).
    void render(const BgraView& source, uint8_t* destination, size_t bytesPerRow);

private:
    FourCharCode format_;
    int32_t width_;
    int32_t height_;
    std::vector<uint8_t> scaled_;  // scaled BGRA before the 10-bit packing
};

} // namespace platform::linux_backend
