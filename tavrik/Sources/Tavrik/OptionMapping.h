#pragma once
// A recording request mapped onto the engine's options, with the defaults.

#include "Tavrik/Requests.h"

#include "Dovezode/RecordingOptions.h"

#include "platform/platform.h"

namespace tavrik {

// The defaults are the engine's (Dovezode::kDefaultFramesPerSecond and the
// microphone's). The main display's number is read now, from the platform's
// screens: two requests without `displayID` may name different displays if the
// main display changed in between.
Dovezode::RecordingOptions recordingOptions(const RecordConfig& config, platform::Platform& platform);

} // namespace tavrik
