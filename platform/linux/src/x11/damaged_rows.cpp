#include "x11/damaged_rows.h"

#include <algorithm>
#include <iterator>

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

void PictureHistory::add(uint64_t picture, const std::vector<RowSpan>& rows, std::optional<RowSpan> cursor) {
    pictures_.push_back({picture, rows, cursor});
    if (pictures_.size() > kKept) pictures_.pop_front();
}

std::optional<std::vector<RowSpan>> PictureHistory::rowsToRefresh(uint64_t picture, const std::vector<RowSpan>& damaged,
                                                                  int32_t height) const {
    if (picture == 0) return std::nullopt;
    auto held = pictures_.begin();
    while (held != pictures_.end() && held->picture != picture) ++held;
    if (held == pictures_.end()) return std::nullopt;
    std::vector<RowSpan> rows = damaged;
    // The pointer drawn over the held picture is not the screen's.
    if (held->cursor) addRows(rows, held->cursor->begin, held->cursor->end, height);
    for (auto later = std::next(held); later != pictures_.end(); ++later) {
        for (const RowSpan& span : later->rows) addRows(rows, span.begin, span.end, height);
    }
    return rows;
}

} // namespace platform::linux_backend
