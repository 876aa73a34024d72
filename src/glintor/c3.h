#pragma once
// The cursor kind under the pointer: one accessibility query and the table that
// turns an element's role and description into a kind text.

#include "platform/geometry.h"

#include <optional>
#include <stop_token>
#include <string>

namespace glintor {

// The kind the pointer is likely to show: "arrow", "ibeam", "pointer", "resize",
// "crosshair", "notallowed", or the element's own description. Runs the query on
// the accessibility queue and waits for it; every failure gives "arrow". Never call
// it on the accessibility queue's thread.
std::string GetCursorTypeAtMouse();

// The same query, with the pointer location the kind was found at (absent when
// the query failed before it read the pointer). A stop requested on `stop` ends the
// wait for the accessibility queue at once with "arrow"; the query, if it has
// started, finishes there unobserved.
struct CursorAtMouse {
    std::string kind;
    std::optional<platform::Point> location;
};
CursorAtMouse QueryCursorAtMouse(std::stop_token stop = {});

// The table: the first matching row wins. Role rows (exact, case-sensitive) come
// before description rows (case-sensitive substrings); an absent role skips the role
// rows, an absent description the description rows.
std::string GuessCursorType(const std::optional<std::string>& role, const std::optional<std::string>& description);

// The plug-in's log sink: discards every message.
void SafeLog(const std::string& message);

// The tracking rectangle: a rectangle in global display coordinates, or the
// infinite one. Containment as CoreGraphics has it: a negative size is normalised
// first; the minimum edges are inside, the maximum edges are not; an empty
// rectangle holds no point; the infinite one holds every point.
struct TrackingBounds {
    bool infinite = true;
    platform::Rect rect;

    static TrackingBounds everywhere() { return {}; }
    static TrackingBounds of(double x, double y, double width, double height) {
        return {false, platform::Rect{{x, y}, {width, height}}};
    }
    bool contains(platform::Point point) const;
};

} // namespace glintor
