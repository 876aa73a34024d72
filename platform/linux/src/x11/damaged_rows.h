#pragma once
// The rows of a grabbed picture that the X server's damage says may have changed.

#include "platform/sample_buffer.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <deque>
#include <optional>
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

// The grabber's last pictures and the rows each changed in, so that a memory block that
// holds one of them can be brought up to date by grabbing only those rows again.
class PictureHistory {
public:
    // A picture was grabbed: `rows` it may differ in from the one before it (the
    // pointer's old and new rows included), `cursor` the rows the pointer covers in it.
    void add(uint64_t picture, const std::vector<RowSpan>& rows, std::optional<RowSpan> cursor);
    // No picture kept can be brought up to date any more (a failed grab, a new size).
    void clear() { pictures_.clear(); }
    // The rows a block holding `picture` must be grabbed again in, beyond `damaged` (what
    // changed since the last picture), to show the screen now; nullopt when the picture
    // is not known here and the whole block must be grabbed.
    std::optional<std::vector<RowSpan>> rowsToRefresh(uint64_t picture, const std::vector<RowSpan>& damaged,
                                                      int32_t height) const;

private:
    struct Entry {
        uint64_t picture;
        std::vector<RowSpan> rows;
        std::optional<RowSpan> cursor;
    };
    static constexpr size_t kKept = 16;  // more than the grabber's blocks
    std::deque<Entry> pictures_;
};

} // namespace platform::linux_backend
