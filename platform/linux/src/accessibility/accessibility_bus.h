#pragma once
// Whether the accessibility bus of the session answers and accessibility is on,
// found within a time limit.

#include <chrono>
#include <optional>
#include <string>

namespace platform::linux_backend {

// The whole check gives up after this long: a bus that does not answer by then
// (a stopped daemon) counts as absent, and the caller goes on.
inline constexpr std::chrono::milliseconds kBusCheckLimit{400};

// Asks the session bus's org.a11y.Bus for the accessibility bus's address, connects
// to that bus, and reads org.a11y.Status IsEnabled. The address when all three
// succeed within the limit and IsEnabled is true; nullopt otherwise. Every step,
// from the connection's authentication to each reply, shares the one deadline.
std::optional<std::string> enabledAccessibilityBusAddress(
    std::chrono::milliseconds limit = kBusCheckLimit);

} // namespace platform::linux_backend
