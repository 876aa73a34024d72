#include "platform/linux/atspi_accessibility.h"

#include "accessibility/accessibility_bus.h"
#include "accessibility/accessibility_queue.h"
#include "accessibility/atspi_client.h"
#include "accessibility/x_pointer_windows.h"

#include <atspi/atspi.h>

#include <algorithm>
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

// Method calls give up after this long. A hung application holds the queue, and
// every monitor waiting on it, for at most one call: it is then left alone for a
// while.
constexpr auto kCallLimit = std::chrono::milliseconds(200);
// How long an application that left a call unanswered is not asked again.
constexpr auto kQuietTime = std::chrono::seconds(2);
// No real tree is this deep; the bound keeps a cyclic one from holding the queue.
constexpr int kMaximumDepth = 64;
constexpr const char* kValueInterface = "org.a11y.atspi.Value";

class AtspiElement final : public AccessibilityElement {
public:
    explicit AtspiElement(AtspiReference reference) : reference(std::move(reference)) {}
    const AtspiReference reference;
};

bool isTopLevelWindowRole(uint32_t role) {
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

bool isNumber(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    std::strtod(start, &end);
    if (end == start) return false;
    while (*end == ' ') ++end;
    return *end == '\0';
}

struct Candidate {
    AtspiReference window;
    Rect extents;
};

class AtspiAccessibilityService final : public AccessibilityService {
public:
    bool processTrusted() override { return enabledAccessibilityBusAddress().has_value(); }

    std::optional<Point> pointerLocation() override { return display_.pointer(); }

    bool runOnQueue(const std::function<void()>& work, std::stop_token stop) override {
        return queue_.run(work, stop);
    }

    std::shared_ptr<AccessibilityElement> systemWide() override {
        // A connection the bus dropped since the last query is noticed here, and the
        // query goes on over a new one.
        client_.forgetLostConnection();
        bool connected = client_.connect();
        if (client_.connectionsMade() != connectionsSeen_) {
            connectionsSeen_ = client_.connectionsMade();
            applications_.reset();
            lastTop_.reset();
            quietUntil_.clear();
        }
        if (!connected) return nullptr;
        return std::make_shared<AtspiElement>(AtspiClient::desktop());
    }

    AccessibilityHit elementAtPosition(AccessibilityElement& systemWide, float x, float y) override {
        if (!dynamic_cast<AtspiElement*>(&systemWide) || !std::isfinite(x) || !std::isfinite(y)) {
            return {kFailure, nullptr};
        }
        int px = static_cast<int>(std::floor(x));
        int py = static_cast<int>(std::floor(y));
        auto windows = display_.topLevelsAt(px, py);
        if (!windows) return {kCannotComplete, nullptr};
        if (windows->empty()) return {kNoValue, nullptr};
        std::optional<AtspiReference> top;
        const XTopLevel& lowest = windows->back();
        bool fromLastQuery = false;
        if (lowest.processID) {
            if (lastTop_ && lastTop_->xWindow == lowest.window && lastTop_->frame == lowest.frame &&
                lastTop_->processID == *lowest.processID && holds(lastTop_->extents, px, py) &&
                !quiet(lastTop_->window.busName)) {
                top = lastTop_->window;
                fromLastQuery = true;
            } else {
                lastTop_.reset();
                bool unanswered = false;
                Rect extents;
                top = topLevelOfProcess(*lowest.processID, lowest.frame, px, py, unanswered, extents);
                if (unanswered) return {kCannotComplete, nullptr};
                if (top) lastTop_ = LastTopLevel{lowest.window, lowest.frame, *lowest.processID, *top, extents};
            }
        } else {
            lastTop_.reset();
            top = anyTopLevelAt(*windows, px, py);
        }
        if (!top) return {kNoValue, nullptr};
        bool topAnswered = true;
        AtspiReference deepest = deepestAt(*top, px, py, topAnswered);
        if (fromLastQuery && !topAnswered) {
            // The window of the last query is gone (or hides): found afresh next time.
            lastTop_.reset();
        }
        // An application that stopped answering on the way down is not asked for the
        // element's attributes too.
        if (quiet(deepest.busName)) return {kCannotComplete, nullptr};
        return {kSuccess, std::make_shared<AtspiElement>(std::move(deepest))};
    }

    AccessibilityValue copyAttribute(AccessibilityElement& element, AccessibilityAttribute attribute) override {
        auto* atspiElement = dynamic_cast<AtspiElement*>(&element);
        if (!atspiElement) return {kFailure, std::nullopt};
        const AtspiReference& object = atspiElement->reference;
        if (attribute == AccessibilityAttribute::role) {
            auto role = client_.role(object);
            if (!role) return {kCannotComplete, std::nullopt};
            gchar* name = atspi_role_get_name(static_cast<AtspiRole>(*role));
            auto axRole = axRoleForAtspiRole(name ? name : "");
            g_free(name);
            if (!axRole) return {kNoValue, std::nullopt};
            return {kSuccess, std::move(axRole)};
        }
        auto description = client_.description(object);
        if (!description) return {kCannotComplete, std::nullopt};
        if (description->empty() || isValueText(object, *description)) return {kNoValue, std::nullopt};
        return {kSuccess, std::move(*description)};
    }

    // Ends the queue thread at process exit, before the libraries' own clean-up.
    void endQueue() { queue_.end(); }

private:
    // A description that only repeats an element's value (GTK gives a slider the
    // text of its value as description) does not describe the element.
    bool isValueText(const AtspiReference& object, const std::string& description) {
        auto names = client_.interfaces(object);
        if (!names || std::find(names->begin(), names->end(), kValueInterface) == names->end()) return false;
        if (isNumber(description)) return true;
        auto text = client_.valueText(object);
        return text && *text == description;
    }

    // Whether an application is left alone after a call it did not answer.
    bool quiet(const std::string& busName) {
        auto found = quietUntil_.find(busName);
        if (found == quietUntil_.end()) return false;
        if (Clock::now() < found->second) return true;
        quietUntil_.erase(found);
        return false;
    }

    // After a failed call to an application: one it left unanswered makes it quiet.
    // True when it is quiet now.
    bool noteFailure(const std::string& busName) {
        if (client_.timedOut()) quietUntil_[busName] = Clock::now() + kQuietTime;
        return quiet(busName);
    }

    // The applications of the desktop by process, from the registry's list. The list
    // is read again when a process is not in it (an application that came since).
    std::vector<std::string> applicationsOf(uint32_t processID) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!applications_ || attempt == 1) {
                auto listed = client_.children(AtspiClient::desktop());
                if (!listed) return {};
                applications_.emplace();
                for (const AtspiReference& application : *listed) {
                    if (auto pid = client_.processOf(application.busName)) {
                        (*applications_)[*pid].push_back(application.busName);
                    }
                }
            }
            if (auto found = applications_->find(processID); found != applications_->end()) return found->second;
        }
        return {};
    }

    // The showing top-level windows of one application whose extents hold the point.
    // Stops at the first call the application leaves unanswered.
    void windowsHolding(const std::string& busName, int x, int y, std::vector<Candidate>& candidates,
                        bool& unanswered) {
        if (quiet(busName)) {
            unanswered = true;
            return;
        }
        auto windows = client_.children(AtspiReference{busName, "/org/a11y/atspi/accessible/root"});
        if (!windows) {
            if (noteFailure(busName)) unanswered = true;
            // An application that went away: the registry's list is read again next time.
            applications_.reset();
            return;
        }
        for (const AtspiReference& window : *windows) {
            auto role = client_.role(window);
            if (!role) {
                if (noteFailure(busName)) break;
                continue;
            }
            if (!isTopLevelWindowRole(*role)) continue;
            auto showing = client_.showing(window);
            if (!showing) {
                if (noteFailure(busName)) break;
                continue;
            }
            if (!*showing) continue;
            auto extents = client_.screenExtents(window);
            if (!extents) {
                if (noteFailure(busName)) break;
                continue;
            }
            if (holds(*extents, x, y)) candidates.push_back(Candidate{window, *extents});
        }
        if (quiet(busName)) unanswered = true;
    }

    // The accessible top-level window of the process whose X window is topmost at
    // the point: of its showing windows that hold the point, the one covering most
    // of the X window (at least half of its own area). Only that process's
    // applications are asked, so another application that hangs costs nothing here.
    std::optional<AtspiReference> topLevelOfProcess(uint32_t processID, const Rect& frame, int x, int y,
                                                    bool& unanswered, Rect& extents) {
        std::vector<Candidate> candidates;
        for (const std::string& busName : applicationsOf(processID)) {
            windowsHolding(busName, x, y, candidates, unanswered);
        }
        const Candidate* best = nullptr;
        double bestOverlap = 0;
        for (const Candidate& candidate : candidates) {
            double area = candidate.extents.size.width * candidate.extents.size.height;
            double overlap = overlapArea(frame, candidate.extents);
            if (overlap * 2 < area || overlap <= bestOverlap) continue;
            best = &candidate;
            bestOverlap = overlap;
        }
        if (!best) return std::nullopt;
        extents = best->extents;
        return best->window;
    }

    // Over X windows that tell no process (none of them does): every application's
    // showing windows at the point, the first that covers most of an X window in
    // stacking order, else the first found. Quiet applications are skipped.
    std::optional<AtspiReference> anyTopLevelAt(const std::vector<XTopLevel>& windows, int x, int y) {
        auto listed = client_.children(AtspiClient::desktop());
        if (!listed) return std::nullopt;
        std::vector<Candidate> candidates;
        for (const AtspiReference& application : *listed) {
            bool unanswered = false;
            windowsHolding(application.busName, x, y, candidates, unanswered);
        }
        if (candidates.empty()) return std::nullopt;
        for (const XTopLevel& xWindow : windows) {
            for (const Candidate& candidate : candidates) {
                double area = candidate.extents.size.width * candidate.extents.size.height;
                if (overlapArea(xWindow.frame, candidate.extents) * 2 >= area) return candidate.window;
            }
        }
        return candidates.front().window;
    }

    // A showing child of `parent` whose extents hold the point.
    std::optional<AtspiReference> showingChildHolding(const AtspiReference& parent, int x, int y) {
        auto children = client_.children(parent);
        if (!children) return std::nullopt;
        for (const AtspiReference& child : *children) {
            auto showing = client_.showing(child);
            if (!showing || !*showing) continue;
            auto extents = client_.screenExtents(child);
            if (extents && holds(*extents, x, y)) return child;
        }
        return std::nullopt;
    }

    // Below a tab list the hit test stops: a page tab's extents are those of its tab
    // alone, so the page it holds is found at no point. The tab at the point, else
    // the showing page at the point (the selected tab's), continues the descent.
    std::optional<AtspiReference> insideTabs(const AtspiReference& current, int x, int y) {
        auto role = client_.role(current);
        if (!role) return std::nullopt;
        if (*role == ATSPI_ROLE_PAGE_TAB) return showingChildHolding(current, x, y);
        if (*role != ATSPI_ROLE_PAGE_TAB_LIST) return std::nullopt;
        if (auto tab = showingChildHolding(current, x, y)) return tab;
        auto tabs = client_.children(current);
        if (!tabs) return std::nullopt;
        for (const AtspiReference& tab : *tabs) {
            if (auto page = showingChildHolding(tab, x, y)) return page;
        }
        return std::nullopt;
    }

    // From a top-level window down to the deepest element at the point.
    // `topAnswered` tells whether the window itself answered the first hit test.
    AtspiReference deepestAt(AtspiReference current, int x, int y, bool& topAnswered) {
        for (int depth = 0; depth < kMaximumDepth; ++depth) {
            auto child = client_.childAtPoint(current, x, y);
            if (!child) {
                noteFailure(current.busName);
                if (depth == 0) topAnswered = false;
                break;
            }
            if (child->path.empty() || *child == current) child = insideTabs(current, x, y);
            if (!child) break;
            current = std::move(*child);
        }
        return current;
    }

    AccessibilityQueue queue_;
    XDisplayLink display_;
    // The queue's own, like everything below.
    AtspiClient client_{kCallLimit};
    uint64_t connectionsSeen_ = 0;
    // The accessible window found for an X window at the last query. The same X
    // window, at the same place and size, of the same process, is the same
    // accessible window: the next query over it starts its descent there at once.
    // Any change of the X window, or a window that no longer answers, finds it afresh.
    struct LastTopLevel {
        xcb_window_t xWindow;
        Rect frame;
        uint32_t processID;
        AtspiReference window;
        Rect extents;
    };
    std::optional<LastTopLevel> lastTop_;
    std::optional<std::map<uint32_t, std::vector<std::string>>> applications_;  // bus names by process
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
