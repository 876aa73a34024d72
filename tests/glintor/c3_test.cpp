// The cursor-kind table, the tracking rectangle, and the query over the scripted
// accessibility service.

#include "c3.h"

#include "platform/fake/fake_accessibility.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace {

using glintor::GetCursorTypeAtMouse;
using glintor::GuessCursorType;
using glintor::TrackingBounds;
using platform::AccessibilityValue;
using platform::fake::FakeAccessibility;
using platform::fake::FakeOperation;
using platform::fake::FakeHitScript;
namespace status = platform::accessibility_status;

const std::optional<std::string> none;

struct KindCase {
    std::optional<std::string> role;
    std::optional<std::string> description;
    std::string kind;
};

TEST(GuessCursorType, TableOfRolesAndDescriptions) {
    const KindCase cases[] = {
        // Both absent.
        {none, none, "arrow"},
        // Text roles win over any description.
        {"AXTextField", none, "ibeam"},
        {"AXTextArea", "crosshair here", "ibeam"},
        {"AXTextField", "window resize handle", "ibeam"},
        // Button roles.
        {"AXButton", none, "pointer"},
        {"AXCheckBox", "Close", "pointer"},
        {"AXRadioButton", "not allowed", "pointer"},
        // Role tests are exact and case-sensitive: these fall to the description rows.
        {"axbutton", none, "arrow"},
        {"axbutton", "Close", "Close"},
        {"AXTextFieldX", none, "arrow"},
        {" AXButton", none, "arrow"},
        // Description substrings, case-sensitive, in row order.
        {"AXStaticText", "window resize handle", "resize"},
        {"AXStaticText", "resize", "resize"},
        {"AXStaticText", "Resize", "Resize"},
        {"AXStaticText", "crosshair", "crosshair"},
        {"AXStaticText", "a crosshair to resize", "resize"},
        {"AXStaticText", "action not allowed", "notallowed"},
        {"AXStaticText", "Not Allowed", "Not Allowed"},
        {"AXStaticText", "not allowed crosshair", "crosshair"},
        // Any other description is the kind itself, UTF-8 included.
        {"AXGroup", "Close", "Close"},
        {"AXGroup", "Schließen ✕", "Schließen ✕"},
        // An unmatched role with an empty or absent description.
        {"AXGroup", "", "arrow"},
        {"AXGroup", none, "arrow"},
        {"", none, "arrow"},
        // A description alone (no role) still goes through the description rows.
        {none, "window resize handle", "resize"},
        {none, "Close", "Close"},
        {none, "", "arrow"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GuessCursorType(c.role, c.description), c.kind)
            << "role " << c.role.value_or("(absent)") << ", description " << c.description.value_or("(absent)");
    }
}

TEST(TrackingBounds, ContainmentAsCoreGraphicsHasIt) {
    struct Case {
        TrackingBounds bounds;
        platform::Point point;
        bool inside;
    };
    const double huge = std::numeric_limits<double>::max();
    const Case cases[] = {
        {TrackingBounds::everywhere(), {-huge, huge}, true},
        {TrackingBounds::everywhere(), {0, 0}, true},
        {TrackingBounds::of(10, 20, 100, 50), {10, 20}, true},       // minimum edges inside
        {TrackingBounds::of(10, 20, 100, 50), {109.999, 69.999}, true},
        {TrackingBounds::of(10, 20, 100, 50), {110, 30}, false},     // maximum x edge outside
        {TrackingBounds::of(10, 20, 100, 50), {30, 70}, false},      // maximum y edge outside
        {TrackingBounds::of(10, 20, 100, 50), {9.999, 30}, false},
        {TrackingBounds::of(110, 70, -100, -50), {10, 20}, true},    // normalised
        {TrackingBounds::of(110, 70, -100, -50), {110, 70}, false},
        {TrackingBounds::of(10, 20, 0, 50), {10, 20}, false},        // empty
        {TrackingBounds::of(10, 20, 100, 0), {10, 20}, false},
        {TrackingBounds::of(0, 0, 0, 0), {0, 0}, false},
        {TrackingBounds::of(std::nan(""), 0, 10, 10), {1, 1}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.bounds.contains(c.point), c.inside)
            << "point " << c.point.x << ", " << c.point.y << " in " << c.bounds.rect.origin.x << ", "
            << c.bounds.rect.origin.y << ", " << c.bounds.rect.size.width << ", " << c.bounds.rect.size.height;
    }
}

class CursorQuery : public testing::Test {
protected:
    void SetUp() override {
        auto services = std::make_shared<platform::Platform>();
        services->accessibility = fake;
        platform::install(services);
    }
    void TearDown() override {
        EXPECT_EQ(fake->releasesOffQueue(), 0u) << "elements must be released on the accessibility queue";
        platform::install(nullptr);
    }
    std::shared_ptr<FakeAccessibility> fake = std::make_shared<FakeAccessibility>();
};

TEST_F(CursorQuery, RoleAndDescriptionOfTheElementGiveTheKind) {
    fake->setHit({status::kSuccess, true, {status::kSuccess, "AXTextField"}, {status::kNoValue, std::nullopt}});
    EXPECT_EQ(GetCursorTypeAtMouse(), "ibeam");
    fake->setHit({status::kSuccess, true, {status::kSuccess, "AXStaticText"}, {status::kSuccess, "Close"}});
    EXPECT_EQ(GetCursorTypeAtMouse(), "Close");
    EXPECT_EQ(fake->hitTests(), 2u);
}

TEST_F(CursorQuery, EveryFailedStepGivesArrow) {
    struct Case {
        const char* what;
        FakeHitScript hit;
        std::string kind;
    };
    const AccessibilityValue closeDescription{status::kSuccess, "Close"};
    const Case cases[] = {
        {"hit test fails", {status::kCannotComplete, true, {status::kSuccess, "AXButton"}, closeDescription}, "arrow"},
        {"hit test gives no element", {status::kSuccess, false, {status::kSuccess, "AXButton"}, closeDescription},
         "arrow"},
        {"no role: the description is not asked", {status::kSuccess, true, {status::kNoValue, none}, closeDescription},
         "arrow"},
        {"role copy fails", {status::kSuccess, true, {status::kFailure, none}, closeDescription}, "arrow"},
        {"description copy fails: the role alone",
         {status::kSuccess, true, {status::kSuccess, "AXButton"}, {status::kFailure, none}}, "pointer"},
        {"no description: the role alone",
         {status::kSuccess, true, {status::kSuccess, "AXGroup"}, {status::kNoValue, none}}, "arrow"},
    };
    for (const auto& c : cases) {
        fake->setHit(c.hit);
        EXPECT_EQ(GetCursorTypeAtMouse(), c.kind) << c.what;
    }
}

TEST_F(CursorQuery, MissingPointerOrSystemWideElementGivesArrow) {
    fake->setHit({status::kSuccess, true, {status::kSuccess, "AXButton"}, {status::kNoValue, none}});
    fake->setPointer(std::nullopt);
    EXPECT_EQ(GetCursorTypeAtMouse(), "arrow");
    fake->setPointer(platform::Point{5, 5});
    fake->setSystemWideAvailable(false);
    EXPECT_EQ(GetCursorTypeAtMouse(), "arrow");
    fake->setSystemWideAvailable(true);
    EXPECT_EQ(GetCursorTypeAtMouse(), "pointer");
}

TEST_F(CursorQuery, AnExceptionInsideTheQueryGivesArrowAndTheNextCallStartsAfresh) {
    fake->setHit({status::kSuccess, true, {status::kSuccess, "AXButton"}, {status::kSuccess, "Close"}});
    const platform::PlatformError failure("AccessibilityErrorDomain", -1, "The accessibility bus is gone.");
    for (auto step : {FakeOperation::accessibilitySystemWide, FakeOperation::accessibilityElementAtPosition,
                      FakeOperation::accessibilityRole, FakeOperation::accessibilityDescription}) {
        fake->failures().failAlways(step, failure);
        EXPECT_EQ(GetCursorTypeAtMouse(), "arrow") << "throwing at " << platform::fake::fakeOperationName(step);
        fake->failures().clear(step);
    }
    EXPECT_EQ(GetCursorTypeAtMouse(), "pointer");
}

TEST(CursorQueryWithoutPlatform, GivesArrow) {
    platform::install(nullptr);
    EXPECT_EQ(GetCursorTypeAtMouse(), "arrow");
}

} // namespace
