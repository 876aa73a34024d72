#pragma once
// "start", "stop", "pause" and "resume": each checks the loop's state and its
// request, drives the recorder, and answers refusals and failures with one
// "error" event. Success is reported by the recorder's callbacks.

#include <memory>
#include <string>

namespace tavrik {

class LoopState;

void handleStart(const std::shared_ptr<LoopState>& state, const std::string& argument);
void handleStop(LoopState& state);
void handlePause(LoopState& state);
void handleResume(LoopState& state, const std::string& argument);

} // namespace tavrik
