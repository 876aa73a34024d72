#include "c3.h"

#include "platform/accessibility.h"
#include "platform/platform.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>

namespace glintor {
namespace {

bool contains(const std::optional<std::string>& text, const char* part) {
    return text && text->find(part) != std::string::npos;
}

std::string describe(const std::optional<std::string>& value) { return value ? *value : std::string("(none)"); }

} // namespace

void SafeLog(const std::string&) {}

std::string GuessCursorType(const std::optional<std::string>& role, const std::optional<std::string>& description) {
    if (!role && !description) return "arrow";
    if (role) {
        if (*role == "AXTextField" || *role == "AXTextArea") return "ibeam";
        if (*role == "AXButton" || *role == "AXCheckBox" || *role == "AXRadioButton") return "pointer";
    }
    if (description) {
        if (contains(description, "resize")) return "resize";
        if (contains(description, "crosshair")) return "crosshair";
        if (contains(description, "not allowed")) return "notallowed";
        if (!description->empty()) return *description;
    }
    return "arrow";
}

std::string GetCursorTypeAtMouse() { return QueryCursorAtMouse().kind; }

CursorAtMouse QueryCursorAtMouse(std::stop_token stop) {
    // The query writes into its own answer: a caller that stops waiting leaves it
    // to the query, which may still be running on the queue.
    auto shared = std::make_shared<CursorAtMouse>(CursorAtMouse{"arrow", std::nullopt});
    std::shared_ptr<platform::AccessibilityService> service;
    try {
        service = platform::installed().accessibility;
    } catch (const std::exception& error) {
        SafeLog(std::string("No platform: ") + error.what());
    }
    if (!service) return *shared;

    // The query runs on the accessibility queue; every object it obtains is
    // released there, before the queue moves on.
    auto query = [shared, service] {
        CursorAtMouse& answer = *shared;
        std::string& result = answer.kind;
        try {
            std::shared_ptr<platform::AccessibilityElement> systemWide = service->systemWide();
            if (!systemWide) return;
            // The pointer is read once: the location of the hit test is the one logged.
            auto location = service->pointerLocation();
            if (!location) return;
            answer.location = location;
            SafeLog("Pointer at " + std::to_string(location->x) + ", " + std::to_string(location->y));
            auto hit = service->elementAtPosition(*systemWide, static_cast<float>(location->x),
                                                  static_cast<float>(location->y));
            SafeLog("Element query status " + std::to_string(hit.status));
            if (hit.status != platform::accessibility_status::kSuccess || !hit.element) return;
            auto role = service->copyAttribute(*hit.element, platform::AccessibilityAttribute::role);
            if (role.status != platform::accessibility_status::kSuccess || !role.value) return;
            auto description = service->copyAttribute(*hit.element, platform::AccessibilityAttribute::description);
            std::optional<std::string> descriptionValue;
            if (description.status == platform::accessibility_status::kSuccess) descriptionValue = description.value;
            result = GuessCursorType(role.value, descriptionValue);
            SafeLog("Role " + describe(role.value) + ", description " + describe(descriptionValue) + ": " + result);
        } catch (const std::exception& error) {
            SafeLog(std::string("Accessibility query failed: ") + error.what());
            result = "arrow";
        }
    };
    try {
        if (!service->runOnQueue(query, stop)) return CursorAtMouse{"arrow", std::nullopt};
    } catch (const std::exception& error) {
        SafeLog(std::string("Accessibility queue failed: ") + error.what());
        return CursorAtMouse{"arrow", std::nullopt};
    }
    return *shared;
}

bool TrackingBounds::contains(platform::Point point) const {
    if (infinite) return true;
    double x = rect.origin.x;
    double y = rect.origin.y;
    double width = rect.size.width;
    double height = rect.size.height;
    if (std::isnan(x) || std::isnan(y) || std::isnan(width) || std::isnan(height)) return false;
    if (width < 0) {
        x += width;
        width = -width;
    }
    if (height < 0) {
        y += height;
        height = -height;
    }
    if (width == 0 || height == 0) return false;
    return point.x >= x && point.x < x + width && point.y >= y && point.y < y + height;
}

} // namespace glintor
