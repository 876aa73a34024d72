#pragma once
// The five callbacks a recording's recorder reports through, turned into event
// lines and the loop's flags.

#include "Tavrik/JsonWriter.h"

#include "Dovezode/RecordingDurations.h"

#include <memory>

namespace Dovezode {
class Recorder;
}

namespace tavrik {

class LoopState;

// The durations as the events carry them: all four keys, null where absent.
Json durationsJson(const Dovezode::RecordingDurations& durations);

void installCallbacks(Dovezode::Recorder& recorder, const std::shared_ptr<LoopState>& state);

} // namespace tavrik
