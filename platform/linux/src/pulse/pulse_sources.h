#pragma once
// Microphones: the PulseAudio server's sources other than the monitors of its sinks.

#include "platform/capture_devices.h"

#include <vector>

namespace platform::linux_backend {

// In the server's order; unique ID the source name, name its description. Empty
// when no server answers within a few seconds. Never throws.
std::vector<CaptureDevice> listPulseMicrophones();

} // namespace platform::linux_backend
