#pragma once
// Accessibility on Linux: AT-SPI2's D-Bus interfaces for the elements, the X server
// for the pointer and the top-level window (and its process) at a point.

#include "platform/accessibility.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform::linux_backend {

// The process-wide service. Its accessibility queue is one thread, started at the
// first work and ended at process exit; the connection to the accessibility bus is
// used from that thread only. Trusted means the accessibility bus answers
// (org.a11y.Bus gives its address and a connection to it succeeds) and
// accessibility is enabled (org.a11y.Status IsEnabled is true), all within 400 ms.
std::shared_ptr<AccessibilityService> atspiAccessibility();

// The role names of the cursor table for an AT-SPI role, given by its name as
// libatspi spells it ("push button", "check box"). nullopt for "invalid"; roles
// outside the table are "AXUnknown".
std::optional<std::string> axRoleForAtspiRole(std::string_view atspiRoleName);

} // namespace platform::linux_backend
