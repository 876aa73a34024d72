#pragma once
// Whether the accessibility bus of the session answers and accessibility is on.

namespace platform::linux_backend {

// Asks the session bus's org.a11y.Bus for the accessibility bus's address, connects
// to that bus, and reads org.a11y.Status IsEnabled. True only when all three
// succeed and IsEnabled is true. Blocks up to a few seconds when a bus hangs.
bool accessibilityBusEnabled();

} // namespace platform::linux_backend
