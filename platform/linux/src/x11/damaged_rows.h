#pragma once
// The rows of a grabbed picture that the X server's damage says may have changed.

#include "platform/sample_buffer.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

namespace platform::linux_backend {

// A picture's place in the drawable it is grabbed from.
struct PictureArea {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Rows of the picture (0 is its top row) that `rectangles`, in the drawable's
// coordinates, cover: sorted, merged where they touch, clipped to the picture.
std::vector<RowSpan> damagedRows(const xcb_rectangle_t* rectangles, int count, const PictureArea& area);

// `rows` with [begin, end) added, clipped to [0, height), kept sorted and merged.
void addRows(std::vector<RowSpan>& rows, int32_t begin, int32_t end, int32_t height);

} // namespace platform::linux_backend
