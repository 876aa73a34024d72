#pragma once
// Accessibility: what lies under a point of the screen, as the accessibility
// service of the desktop tells it, and where the pointer is.
//
// The accessibility library belongs to one thread, the accessibility queue. Work
// that touches elements runs there through runOnQueue(), which waits for it the way
// a synchronous dispatch does. processTrusted() and pointerLocation() may be called
// on any thread.

#include "platform/geometry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace platform {

// Status codes of the element and attribute calls, with the values the macOS
// accessibility service gives them.
namespace accessibility_status {
inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kFailure = -25200;
inline constexpr int32_t kCannotComplete = -25204;
inline constexpr int32_t kAttributeUnsupported = -25205;
inline constexpr int32_t kApiDisabled = -25211;
inline constexpr int32_t kNoValue = -25212;
} // namespace accessibility_status

// An element of the accessibility tree (or the system-wide element). Opaque to
// callers; release it on the accessibility queue (a backend defers a release made
// elsewhere to the queue).
class AccessibilityElement {
public:
    virtual ~AccessibilityElement() = default;
};

// The attributes the cursor table reads: "AXRole" and "AXDescription".
enum class AccessibilityAttribute { role, description };

struct AccessibilityHit {
    int32_t status = accessibility_status::kFailure;
    std::shared_ptr<AccessibilityElement> element;  // set only with kSuccess
};

struct AccessibilityValue {
    int32_t status = accessibility_status::kFailure;
    std::optional<std::string> value;  // UTF-8; set only with kSuccess
};

class AccessibilityService {
public:
    virtual ~AccessibilityService() = default;

    // Whether this process may read the accessibility tree. Never asks the user.
    // Any thread; never throws. Returns within a bound well under a second: a
    // service that does not answer by then counts as not trusting the process.
    virtual bool processTrusted() = 0;

    // The pointer's location in global display coordinates (origin at the top left,
    // y downwards); nullopt when it cannot be read. Any thread; never throws.
    virtual std::optional<Point> pointerLocation() = 0;

    // Runs work on the accessibility queue and returns once it has run. Returns
    // false, without running it, when the queue has ended (process exit). Called on
    // the queue itself, the work runs at once. Exceptions of the work propagate.
    //
    // A stop requested on `stop` ends the wait at once and gives false: work that
    // has not started never runs; work already running finishes on the queue on its
    // own, so it must own (or share) everything it writes. A busy or hung queue
    // therefore never holds a caller that is asked to stop.
    virtual bool runOnQueue(const std::function<void()>& work, std::stop_token stop = {}) = 0;

    // On the queue only. The element standing for the whole desktop; null when the
    // accessibility service cannot be reached.
    virtual std::shared_ptr<AccessibilityElement> systemWide() = 0;
    // On the queue only. The deepest element at a position of the screen, asked of
    // the system-wide element. A position over no accessible window gives kNoValue.
    virtual AccessibilityHit elementAtPosition(AccessibilityElement& systemWide, float x, float y) = 0;
    // On the queue only. An attribute of an element as text. An attribute the
    // element does not have (or an empty description) gives kNoValue.
    virtual AccessibilityValue copyAttribute(AccessibilityElement& element, AccessibilityAttribute attribute) = 0;
};

} // namespace platform
