// References to accessible objects come from the applications themselves (their
// children, the child at a point): a name in one that is no D-Bus bus name must
// fail that one call, never end the host process (libdbus aborts when asked to
// build a call to such a name).

#include "accessibility/atspi_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using platform::linux_backend::AtspiClient;
using platform::linux_backend::AtspiReference;

TEST(AtspiClient, AReferenceThatNamesNoBusNameFailsEachCall) {
    AtspiClient client(std::chrono::milliseconds(200));
    const AtspiReference references[] = {
        {"", "/org/a11y/atspi/accessible/1"},
        {"not a bus name", "/org/a11y/atspi/accessible/1"},
        {":1.", "/org/a11y/atspi/accessible/1"},
        {"org..a11y", "/org/a11y/atspi/accessible/1"},
        {":1.42", "no/path"},
    };
    for (const auto& reference : references) {
        SCOPED_TRACE("\"" + reference.busName + "\" \"" + reference.path + "\"");
        EXPECT_FALSE(client.children(reference));
        EXPECT_FALSE(client.role(reference));
        EXPECT_FALSE(client.showing(reference));
        EXPECT_FALSE(client.screenExtents(reference));
        EXPECT_FALSE(client.childAtPoint(reference, 10, 10));
        EXPECT_FALSE(client.description(reference));
        EXPECT_FALSE(client.interfaces(reference));
        EXPECT_FALSE(client.valueText(reference));
        EXPECT_FALSE(client.timedOut());
    }
}

} // namespace
