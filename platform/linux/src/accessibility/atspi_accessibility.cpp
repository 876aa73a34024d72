#include "platform/linux/atspi_accessibility.h"

#include "accessibility/accessibility_bus.h"
#include "accessibility/accessibility_queue.h"
#include "accessibility/x_pointer_windows.h"

#include <atspi/atspi.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace platform::linux_backend {
namespace {

using namespace platform::accessibility_status;

// Method calls to applications give up after this long; an application that has
// just started gets the longer time. libatspi's own start-up allowance (15 s) would
// hold the queue, and every monitor waiting on it, far longer than a poll.
constexpr gint kCallTimeoutMilliseconds = 800;
constexpr gint kStartupTimeoutMilliseconds = 2000;
// No real tree is this deep; the bound keeps a cyclic one from holding the queue.
constexpr int kMaximumDepth = 64;

// One reference to an AtspiAccessible, dropped on the queue.
class AtspiElement final : public AccessibilityElement {
public:
    AtspiElement(AtspiAccessible* accessible, AccessibilityQueue& queue) : accessible_(accessible), queue_(queue) {}
    ~AtspiElement() override {
        if (queue_.onQueue()) {
            g_object_unref(accessible_);
        } else {
            queue_.post([](void* accessible) { g_object_unref(accessible); }, accessible_);
        }
    }
    AtspiAccessible* get() const { return accessible_; }

private:
    AtspiAccessible* accessible_;
    AccessibilityQueue& queue_;
};

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() {
        if (error) g_error_free(error);
    }
    GError** out() { return &error; }
    explicit operator bool() const { return error != nullptr; }
};

struct Unref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
template <class T>
using Ref = std::unique_ptr<T, Unref>;

bool isTopLevelWindowRole(AtspiRole role) {
    return role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_WINDOW || role == ATSPI_ROLE_DIALOG;
}

bool showing(AtspiAccessible* accessible) {
    Ref<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
    return states && atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING);
}

std::optional<Rect> screenExtents(AtspiAccessible* accessible) {
    ErrorHolder error;
    AtspiRect* extents = atspi_component_get_extents(ATSPI_COMPONENT(accessible), ATSPI_COORD_TYPE_SCREEN, error.out());
    if (error || !extents) return std::nullopt;
    Rect rect{{double(extents->x), double(extents->y)}, {double(extents->width), double(extents->height)}};
    g_free(extents);
    return rect;
}

bool holds(const Rect& rect, int x, int y) {
    return x >= rect.origin.x && x < rect.origin.x + rect.size.width && y >= rect.origin.y &&
           y < rect.origin.y + rect.size.height;
}

double overlapArea(const Rect& a, const Rect& b) {
    Rect common = intersection(a, b);
    return common.size.width * common.size.height;
}

struct Candidate {
    Ref<AtspiAccessible> accessible;
    std::optional<uint32_t> processID;
    Rect extents;
};

class AtspiAccessibilityService final : public AccessibilityService {
public:
    bool processTrusted() override { return accessibilityBusEnabled(); }

    std::optional<Point> pointerLocation() override { return display_.pointer(); }

    bool runOnQueue(const std::function<void()>& work) override { return queue_.run(work); }

    std::shared_ptr<AccessibilityElement> systemWide() override {
        if (!atspiReady()) return nullptr;
        AtspiAccessible* desktop = atspi_get_desktop(0);
        if (!desktop) return nullptr;
        return std::make_shared<AtspiElement>(desktop, queue_);
    }

    AccessibilityHit elementAtPosition(AccessibilityElement& systemWide, float x, float y) override {
        auto* desktop = dynamic_cast<AtspiElement*>(&systemWide);
        if (!desktop || !std::isfinite(x) || !std::isfinite(y)) return {kFailure, nullptr};
        int px = static_cast<int>(std::floor(x));
        int py = static_cast<int>(std::floor(y));
        auto windows = display_.topLevelsAt(px, py);
        if (!windows) return {kCannotComplete, nullptr};
        AtspiAccessible* top = topLevelAt(desktop->get(), *windows, px, py);
        if (!top) return {kNoValue, nullptr};
        return {kSuccess, std::make_shared<AtspiElement>(deepestAt(top, px, py), queue_)};
    }

    AccessibilityValue copyAttribute(AccessibilityElement& element, AccessibilityAttribute attribute) override {
        auto* atspiElement = dynamic_cast<AtspiElement*>(&element);
        if (!atspiElement) return {kFailure, std::nullopt};
        ErrorHolder error;
        if (attribute == AccessibilityAttribute::role) {
            AtspiRole role = atspi_accessible_get_role(atspiElement->get(), error.out());
            if (error) return {kCannotComplete, std::nullopt};
            gchar* name = atspi_role_get_name(role);
            auto axRole = axRoleForAtspiRole(name ? name : "");
            g_free(name);
            if (!axRole) return {kNoValue, std::nullopt};
            return {kSuccess, std::move(axRole)};
        }
        gchar* description = atspi_accessible_get_description(atspiElement->get(), error.out());
        if (error) {
            g_free(description);
            return {kCannotComplete, std::nullopt};
        }
        std::string text = description ? description : "";
        g_free(description);
        if (text.empty()) return {kNoValue, std::nullopt};
        return {kSuccess, std::move(text)};
    }

    // Ends the queue thread at process exit, before the libraries' own clean-up.
    void endQueue() { queue_.end(); }

private:
    // On the queue. libatspi ends the process when it is used without an
    // accessibility bus, so it is started only once the bus answers; a bus that
    // cannot be reached is tried again at the next query.
    bool atspiReady() {
        if (atspiState_ == AtspiState::ready) return true;
        if (atspiState_ == AtspiState::unusable) return false;
        if (!accessibilityBusEnabled()) return false;
        int status = atspi_init();
        if (status != 0 && status != 1) {
            // libatspi keeps a failed start: it cannot be started again in this process.
            atspiState_ = AtspiState::unusable;
            return false;
        }
        atspi_set_main_context(queue_.context());
        atspi_set_timeout(kCallTimeoutMilliseconds, kStartupTimeoutMilliseconds);
        atspiState_ = AtspiState::ready;
        return true;
    }

    // The showing top-level window of an application whose extents hold the point,
    // the topmost by the X stacking order. The stacking order comes from the X
    // windows holding the point (topmost first): a window is matched by process and
    // by covering most of the accessible window. Over an X window of another process
    // (no accessible window there) nothing is found.
    AtspiAccessible* topLevelAt(AtspiAccessible* desktop, const std::vector<XTopLevel>& windows, int x, int y) {
        std::vector<Candidate> candidates;
        ErrorHolder error;
        gint applications = atspi_accessible_get_child_count(desktop, error.out());
        for (gint a = 0; !error && a < applications; ++a) {
            ErrorHolder childError;
            Ref<AtspiAccessible> application(atspi_accessible_get_child_at_index(desktop, a, childError.out()));
            if (childError || !application) continue;
            ErrorHolder pidError;
            guint pid = atspi_accessible_get_process_id(application.get(), pidError.out());
            std::optional<uint32_t> processID;
            if (!pidError && pid != 0) processID = pid;
            ErrorHolder countError;
            gint windowsOfApplication = atspi_accessible_get_child_count(application.get(), countError.out());
            for (gint w = 0; !countError && w < windowsOfApplication; ++w) {
                ErrorHolder windowError;
                Ref<AtspiAccessible> window(atspi_accessible_get_child_at_index(application.get(), w, windowError.out()));
                if (windowError || !window) continue;
                ErrorHolder roleError;
                AtspiRole role = atspi_accessible_get_role(window.get(), roleError.out());
                if (roleError || !isTopLevelWindowRole(role) || !showing(window.get())) continue;
                auto extents = screenExtents(window.get());
                if (!extents || !holds(*extents, x, y)) continue;
                candidates.push_back(Candidate{std::move(window), processID, *extents});
            }
        }
        if (candidates.empty()) return nullptr;

        for (const XTopLevel& xWindow : windows) {
            Candidate* best = nullptr;
            double bestOverlap = 0;
            for (Candidate& candidate : candidates) {
                if (xWindow.processID && candidate.processID && *xWindow.processID != *candidate.processID) continue;
                double area = candidate.extents.size.width * candidate.extents.size.height;
                double overlap = overlapArea(xWindow.frame, candidate.extents);
                if (overlap * 2 < area || overlap <= bestOverlap) continue;
                best = &candidate;
                bestOverlap = overlap;
            }
            if (best) return best->accessible.release();
            // An X window of a known process with no accessible window: it covers the point.
            if (xWindow.processID) return nullptr;
        }
        // No X window told the order apart (no process ids, odd extents): the first.
        return candidates.front().accessible.release();
    }

    // From a top-level window down to the deepest element at the point; takes the
    // reference to `top` and gives one to the result.
    static AtspiAccessible* deepestAt(AtspiAccessible* top, int x, int y) {
        AtspiAccessible* current = top;
        for (int depth = 0; depth < kMaximumDepth; ++depth) {
            ErrorHolder error;
            AtspiAccessible* child = atspi_component_get_accessible_at_point(ATSPI_COMPONENT(current), x, y,
                                                                             ATSPI_COORD_TYPE_SCREEN, error.out());
            if (error || !child) break;
            if (child == current) {
                g_object_unref(child);
                break;
            }
            g_object_unref(current);
            current = child;
        }
        return current;
    }

    enum class AtspiState { notStarted, ready, unusable };

    AccessibilityQueue queue_;
    XDisplayLink display_;
    AtspiState atspiState_ = AtspiState::notStarted;  // the queue's own
};

} // namespace

std::shared_ptr<AccessibilityService> atspiAccessibility() {
    // One service for the process, never destroyed: monitor threads may still use
    // it while the process exits. Its queue thread is ended at exit instead.
    static auto* service = [] {
        auto* created = new std::shared_ptr<AtspiAccessibilityService>(std::make_shared<AtspiAccessibilityService>());
        static AtspiAccessibilityService* atExit = created->get();
        std::atexit([] { atExit->endQueue(); });
        return created;
    }();
    return *service;
}

} // namespace platform::linux_backend
