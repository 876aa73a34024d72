#include "x11/damaged_rows.h"

#include <algorithm>

namespace platform::linux_backend {

void addRows(std::vector<RowSpan>& rows, int32_t begin, int32_t end, int32_t height) {
    begin = std::max(begin, 0);
    end = std::min(end, height);
    if (begin >= end) return;
    auto at = std::lower_bound(rows.begin(), rows.end(), begin,
                               [](const RowSpan& span, int32_t row) { return span.end < row; });
    // `at` is the first span that ends at or after `begin`: it and those after it that
    // start at or before `end` merge with the new one.
    auto last = at;
    while (last != rows.end() && last->begin <= end) {
        begin = std::min(begin, last->begin);
        end = std::max(end, last->end);
        ++last;
    }
    at = rows.erase(at, last);
    rows.insert(at, RowSpan{begin, end});
}

std::vector<RowSpan> damagedRows(const xcb_rectangle_t* rectangles, int count, const PictureArea& area) {
    std::vector<RowSpan> rows;
    for (int i = 0; i < count; ++i) {
        const xcb_rectangle_t& r = rectangles[i];
        const int32_t left = r.x, top = r.y, right = left + r.width, bottom = top + r.height;
        if (right <= area.x || left >= area.x + area.width) continue;
        addRows(rows, top - area.y, bottom - area.y, area.height);
    }
    return rows;
}

} // namespace platform::linux_backend
