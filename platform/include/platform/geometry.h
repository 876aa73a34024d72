#pragma once
// Plain rectangles in the global display space (points; on X, root-window pixels
// with the origin at the top left of the whole X screen).

namespace platform {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    Point origin;
    Size size;
    bool operator==(const Rect&) const = default;
};

// The overlap of two rectangles; an empty rectangle at the first one's origin when they do not meet.
Rect intersection(const Rect& a, const Rect& b);

} // namespace platform
