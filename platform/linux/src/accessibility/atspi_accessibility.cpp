#include "platform/linux/atspi_accessibility.h"

#include "accessibility/accessibility_bus.h"
#include "accessibility/accessibility_queue.h"
#include "accessibility/x_pointer_windows.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace platform::linux_backend {
namespace {

using namespace platform::accessibility_status;
using Clock = std::chrono::steady_clock;

// Method calls to applications give up after this long; an application that has
// just started gets the longer time. A hung application holds the queue, and every
// monitor waiting on it, for at most one call: it is then left alone for a while.
constexpr gint kCallTimeoutMilliseconds = 200;
constexpr gint kStartupTimeoutMilliseconds = 1000;
// A call that failed after this long went unanswered (a fast failure is a gone object).
constexpr auto kUnansweredAfter = std::chrono::milliseconds(kCallTimeoutMilliseconds * 3 / 4);
// How long an application that left a call unanswered is not asked again.
constexpr auto kQuietTime = std::chrono::seconds(2);
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

bool holds(const Rect& rect, int x, int y) {
    return x >= rect.origin.x && x < rect.origin.x + rect.size.width && y >= rect.origin.y &&
           y < rect.origin.y + rect.size.height;
}

double overlapArea(const Rect& a, const Rect& b) {
    Rect common = intersection(a, b);
    return common.size.width * common.size.height;
}

std::string busNameOf(AtspiAccessible* accessible) {
    AtspiApplication* application = ATSPI_OBJECT(accessible)->app;
    return application && application->bus_name ? application->bus_name : "";
}

// libatspi reports through GLib's log under its domain; the plug-in writes nothing
// to the host's standard error.
void silenceLibraryLog() {
    g_log_set_handler("dbind", GLogLevelFlags(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
                      [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
}

// A description that only repeats an element's value (GTK gives a slider its value
// text as description) does not describe the element.
bool isValueText(AtspiAccessible* accessible, const std::string& description) {
    Ref<AtspiValue> value(atspi_accessible_get_value_iface(accessible));
    if (!value) return false;
    char* end = nullptr;
    std::strtod(description.c_str(), &end);
    if (end != description.c_str()) {
        while (*end == ' ') ++end;
        if (*end == '\0') return true;
    }
    ErrorHolder error;
    gchar* text = atspi_value_get_text(value.get(), error.out());
    bool same = !error && text && description == text;
    g_free(text);
    return same;
}

// Starts libatspi on the accessibility bus just found. libatspi looks for the bus
// itself otherwise, through the X display and the session bus, with calls that
// wait without a bound and warn on standard error; given the address in
// AT_SPI_BUS_ADDRESS it connects there directly. The host's value is put back at once.
int startAtspiOnBus(const std::string& address) {
    const char* previous = std::getenv("AT_SPI_BUS_ADDRESS");
    std::optional<std::string> saved;
    if (previous) saved = previous;
    setenv("AT_SPI_BUS_ADDRESS", address.c_str(), 1);
    int status = atspi_init();
    if (saved) {
        setenv("AT_SPI_BUS_ADDRESS", saved->c_str(), 1);
    } else {
        unsetenv("AT_SPI_BUS_ADDRESS");
    }
    return status;
}

struct Candidate {
    Ref<AtspiAccessible> accessible;
    Rect extents;
};

class AtspiAccessibilityService final : public AccessibilityService {
public:
    AtspiAccessibilityService() { silenceLibraryLog(); }

    bool processTrusted() override { return enabledAccessibilityBusAddress().has_value(); }

    std::optional<Point> pointerLocation() override { return display_.pointer(); }

    bool runOnQueue(const std::function<void()>& work, std::stop_token stop) override {
        return queue_.run(work, stop);
    }

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
        if (windows->empty()) return {kNoValue, nullptr};
        AtspiAccessible* top = nullptr;
        const XTopLevel& lowest = windows->back();
        if (lowest.processID) {
            bool unanswered = false;
            top = topLevelOfProcess(desktop->get(), *lowest.processID, lowest.frame, px, py, unanswered);
            if (unanswered) return {kCannotComplete, nullptr};
        } else {
            top = anyTopLevelAt(desktop->get(), *windows, px, py);
        }
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
        if (text.empty() || isValueText(atspiElement->get(), text)) return {kNoValue, std::nullopt};
        return {kSuccess, std::move(text)};
    }

    // Ends the queue thread at process exit, before the libraries' own clean-up.
    void endQueue() { queue_.end(); }

private:
    // On the queue. libatspi ends the process when it is used without an
    // accessibility bus, so it is started only once the bus answers; a bus that
    // cannot be reached is tried again at the next query. A connection that the
    // accessibility bus dropped (the bus restarted) is noticed here and libatspi is
    // started afresh on the new bus.
    bool atspiReady() {
        if (atspiState_ == AtspiState::ready) {
            if (dbus_connection_get_is_connected(atspiBus_)) return true;
            stopAtspi();
        }
        if (atspiState_ == AtspiState::unusable) return false;
        auto address = enabledAccessibilityBusAddress();
        if (!address) return false;
        atspi_set_timeout(kCallTimeoutMilliseconds, kStartupTimeoutMilliseconds);
        int status = startAtspiOnBus(*address);
        if (status != 0 && status != 1) {
            // libatspi keeps a failed start: it cannot be started again in this process.
            atspiState_ = AtspiState::unusable;
            return false;
        }
        atspi_set_main_context(queue_.context());
        atspiBus_ = atspi_get_a11y_bus();
        if (!atspiBus_) {
            atspiState_ = AtspiState::unusable;
            return false;
        }
        dbus_connection_ref(atspiBus_);
        atspiState_ = AtspiState::ready;
        return true;
    }

    void stopAtspi() {
        dbus_connection_unref(atspiBus_);
        atspiBus_ = nullptr;
        processOfBusName_.clear();
        quietUntil_.clear();
        atspi_exit();
        atspiState_ = AtspiState::notStarted;
    }

    // Whether an application is left alone after a call it did not answer.
    bool quiet(const std::string& busName) {
        auto found = quietUntil_.find(busName);
        if (found == quietUntil_.end()) return false;
        if (Clock::now() < found->second) return true;
        quietUntil_.erase(found);
        return false;
    }

    // Records a failed call to an application: one that ran out of time makes the
    // application quiet.
    void noteFailure(const std::string& busName, Clock::time_point callStart) {
        if (Clock::now() - callStart >= kUnansweredAfter) quietUntil_[busName] = Clock::now() + kQuietTime;
    }

    std::optional<uint32_t> processOf(AtspiAccessible* application, const std::string& busName) {
        if (auto known = processOfBusName_.find(busName); known != processOfBusName_.end()) return known->second;
        // Asked of the accessibility bus itself, not of the application.
        ErrorHolder error;
        guint pid = atspi_accessible_get_process_id(application, error.out());
        if (error || pid == 0) return std::nullopt;
        if (processOfBusName_.size() > 256) processOfBusName_.clear();
        processOfBusName_[busName] = pid;
        return pid;
    }

    // The showing top-level windows of one application whose extents hold the point.
    // Stops at the first call the application leaves unanswered.
    void windowsHolding(AtspiAccessible* application, const std::string& busName, int x, int y,
                        std::vector<Candidate>& candidates, bool& unanswered) {
        if (quiet(busName)) {
            unanswered = true;
            return;
        }
        auto callStart = Clock::now();
        ErrorHolder countError;
        gint count = atspi_accessible_get_child_count(application, countError.out());
        if (countError) return noteFailure(busName, callStart);
        for (gint w = 0; w < count; ++w) {
            callStart = Clock::now();
            ErrorHolder windowError;
            Ref<AtspiAccessible> window(atspi_accessible_get_child_at_index(application, w, windowError.out()));
            if (windowError || !window) {
                noteFailure(busName, callStart);
                if (quiet(busName)) break;
                continue;
            }
            callStart = Clock::now();
            ErrorHolder roleError;
            AtspiRole role = atspi_accessible_get_role(window.get(), roleError.out());
            if (roleError) {
                noteFailure(busName, callStart);
                if (quiet(busName)) break;
                continue;
            }
            if (!isTopLevelWindowRole(role)) continue;
            callStart = Clock::now();
            Ref<AtspiStateSet> states(atspi_accessible_get_state_set(window.get()));
            if (!states || !atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING)) {
                // libatspi gives an empty set when the application did not answer.
                noteFailure(busName, callStart);
                if (quiet(busName)) break;
                continue;
            }
            callStart = Clock::now();
            ErrorHolder extentsError;
            AtspiRect* extents = atspi_component_get_extents(ATSPI_COMPONENT(window.get()), ATSPI_COORD_TYPE_SCREEN,
                                                             extentsError.out());
            if (extentsError || !extents) {
                g_free(extents);
                noteFailure(busName, callStart);
                if (quiet(busName)) break;
                continue;
            }
            Rect rect{{double(extents->x), double(extents->y)}, {double(extents->width), double(extents->height)}};
            g_free(extents);
            if (holds(rect, x, y)) candidates.push_back(Candidate{std::move(window), rect});
        }
        if (quiet(busName)) unanswered = true;
    }

    // The accessible top-level window of the process whose X window is topmost at
    // the point: of its showing windows that hold the point, the one covering most
    // of the X window (at least half of its own area). Only that process's
    // applications are asked, so another application that hangs costs nothing here.
    AtspiAccessible* topLevelOfProcess(AtspiAccessible* desktop, uint32_t processID, const Rect& frame, int x, int y,
                                       bool& unanswered) {
        std::vector<Candidate> candidates;
        ErrorHolder error;
        gint applications = atspi_accessible_get_child_count(desktop, error.out());
        for (gint a = 0; !error && a < applications; ++a) {
            ErrorHolder childError;
            Ref<AtspiAccessible> application(atspi_accessible_get_child_at_index(desktop, a, childError.out()));
            if (childError || !application) continue;
            std::string busName = busNameOf(application.get());
            if (processOf(application.get(), busName) != processID) continue;
            windowsHolding(application.get(), busName, x, y, candidates, unanswered);
        }
        Candidate* best = nullptr;
        double bestOverlap = 0;
        for (Candidate& candidate : candidates) {
            double area = candidate.extents.size.width * candidate.extents.size.height;
            double overlap = overlapArea(frame, candidate.extents);
            if (overlap * 2 < area || overlap <= bestOverlap) continue;
            best = &candidate;
            bestOverlap = overlap;
        }
        return best ? best->accessible.release() : nullptr;
    }

    // Over X windows that tell no process (none of them does): every application's
    // showing windows at the point, the first that covers most of an X window in
    // stacking order, else the first found. Quiet applications are skipped.
    AtspiAccessible* anyTopLevelAt(AtspiAccessible* desktop, const std::vector<XTopLevel>& windows, int x, int y) {
        std::vector<Candidate> candidates;
        ErrorHolder error;
        gint applications = atspi_accessible_get_child_count(desktop, error.out());
        for (gint a = 0; !error && a < applications; ++a) {
            ErrorHolder childError;
            Ref<AtspiAccessible> application(atspi_accessible_get_child_at_index(desktop, a, childError.out()));
            if (childError || !application) continue;
            bool unanswered = false;
            windowsHolding(application.get(), busNameOf(application.get()), x, y, candidates, unanswered);
        }
        if (candidates.empty()) return nullptr;
        for (const XTopLevel& xWindow : windows) {
            for (Candidate& candidate : candidates) {
                double area = candidate.extents.size.width * candidate.extents.size.height;
                if (overlapArea(xWindow.frame, candidate.extents) * 2 >= area) return candidate.accessible.release();
            }
        }
        return candidates.front().accessible.release();
    }

    // A showing child of `parent` whose extents hold the point; a new reference.
    static AtspiAccessible* showingChildHolding(AtspiAccessible* parent, int x, int y) {
        ErrorHolder countError;
        gint count = atspi_accessible_get_child_count(parent, countError.out());
        for (gint i = 0; !countError && i < count; ++i) {
            ErrorHolder childError;
            Ref<AtspiAccessible> child(atspi_accessible_get_child_at_index(parent, i, childError.out()));
            if (childError || !child) continue;
            Ref<AtspiStateSet> states(atspi_accessible_get_state_set(child.get()));
            if (!states || !atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING)) continue;
            ErrorHolder extentsError;
            AtspiRect* extents =
                atspi_component_get_extents(ATSPI_COMPONENT(child.get()), ATSPI_COORD_TYPE_SCREEN, extentsError.out());
            if (extentsError || !extents) {
                g_free(extents);
                continue;
            }
            Rect rect{{double(extents->x), double(extents->y)}, {double(extents->width), double(extents->height)}};
            g_free(extents);
            if (holds(rect, x, y)) return child.release();
        }
        return nullptr;
    }

    // Below a tab list the hit test stops: a page tab's extents are those of its tab
    // alone, so the page it holds is found at no point. The tab at the point, else
    // the showing page at the point (the selected tab's), continues the descent.
    static AtspiAccessible* insideTabs(AtspiAccessible* current, int x, int y) {
        ErrorHolder roleError;
        AtspiRole role = atspi_accessible_get_role(current, roleError.out());
        if (roleError) return nullptr;
        if (role == ATSPI_ROLE_PAGE_TAB) return showingChildHolding(current, x, y);
        if (role != ATSPI_ROLE_PAGE_TAB_LIST) return nullptr;
        if (AtspiAccessible* tab = showingChildHolding(current, x, y)) return tab;
        ErrorHolder countError;
        gint count = atspi_accessible_get_child_count(current, countError.out());
        for (gint i = 0; !countError && i < count; ++i) {
            ErrorHolder childError;
            Ref<AtspiAccessible> tab(atspi_accessible_get_child_at_index(current, i, childError.out()));
            if (childError || !tab) continue;
            if (AtspiAccessible* page = showingChildHolding(tab.get(), x, y)) return page;
        }
        return nullptr;
    }

    // From a top-level window down to the deepest element at the point; takes the
    // reference to `top` and gives one to the result.
    static AtspiAccessible* deepestAt(AtspiAccessible* top, int x, int y) {
        AtspiAccessible* current = top;
        for (int depth = 0; depth < kMaximumDepth; ++depth) {
            ErrorHolder error;
            AtspiAccessible* child = atspi_component_get_accessible_at_point(ATSPI_COMPONENT(current), x, y,
                                                                             ATSPI_COORD_TYPE_SCREEN, error.out());
            if (error) {
                if (child) g_object_unref(child);
                break;
            }
            if (child == current) {
                g_object_unref(child);
                child = nullptr;
            }
            if (!child) child = insideTabs(current, x, y);
            if (!child) break;
            g_object_unref(current);
            current = child;
        }
        return current;
    }

    enum class AtspiState { notStarted, ready, unusable };

    AccessibilityQueue queue_;
    XDisplayLink display_;
    // The queue's own, like everything libatspi touches.
    AtspiState atspiState_ = AtspiState::notStarted;
    DBusConnection* atspiBus_ = nullptr;  // libatspi's connection, referenced while ready
    std::map<std::string, uint32_t> processOfBusName_;
    std::map<std::string, Clock::time_point> quietUntil_;
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
