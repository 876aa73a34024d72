#pragma once
// "preview": one request states the whole wanted preview state. A device ID that
// is present starts (or keeps) that preview, one that is absent stops it; the
// microphone is handled before the webcam. Works in every recording state, on
// the current recorder (made, without callbacks, only when there is none).
// Success is silent; each preview that fails to start is one "error" event.

#include <string>

namespace tavrik {

class LoopState;

void handlePreview(LoopState& state, const std::string& argument);

} // namespace tavrik
