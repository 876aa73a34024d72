#pragma once
// A recording request mapped onto the engine's options, with the defaults.

#include "Tavrik/Requests.h"

#include "Dovezode/RecordingOptions.h"

namespace tavrik {

inline constexpr int64_t kDefaultFramesPerSecond = 30;
inline constexpr int64_t kDefaultMicrophoneSampleRate = 48000;
inline constexpr int64_t kDefaultMicrophoneBitRate = 192000;

// The main display's number is read now: two requests without `displayID` may
// name different displays if the main display changed in between.
Dovezode::RecordingOptions recordingOptions(const RecordConfig& config);

} // namespace tavrik
