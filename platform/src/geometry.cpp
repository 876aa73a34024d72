#include "platform/geometry.h"

#include <algorithm>

namespace platform {

Rect intersection(const Rect& a, const Rect& b) {
    double left = std::max(a.origin.x, b.origin.x);
    double top = std::max(a.origin.y, b.origin.y);
    double right = std::min(a.origin.x + a.size.width, b.origin.x + b.size.width);
    double bottom = std::min(a.origin.y + a.size.height, b.origin.y + b.size.height);
    if (right <= left || bottom <= top) return Rect{a.origin, {}};
    return Rect{{left, top}, {right - left, bottom - top}};
}

} // namespace platform
