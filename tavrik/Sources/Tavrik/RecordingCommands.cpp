#include "Tavrik/RecordingCommands.h"

#include "Tavrik/Emit.h"
#include "Tavrik/EngineCallbacks.h"
#include "Tavrik/ErrorText.h"
#include "Tavrik/LoopState.h"
#include "Tavrik/OptionMapping.h"
#include "Tavrik/Requests.h"

namespace tavrik {
namespace {

void emitError(const std::string& message, const char* code) { emit("error", {{"message", message}, {"code", code}}); }

void emitInvalidConfig() { emitError("Invalid JSON config", "INVALID_CONFIG"); }

// Decodes and checks a recording request; emits the refusal and gives nothing
// when the request cannot be used.
std::optional<RecordConfig> acceptedRequest(const std::string& argument, RequestKind kind) {
    auto config = decodeRecordConfig(argument);
    if (!config) {
        emitInvalidConfig();
        return std::nullopt;
    }
    if (auto refusal = checkRecordConfig(*config, kind)) {
        emit("error", {{"message", refusal->message}, {"code", refusal->code}});
        return std::nullopt;
    }
    return config;
}

} // namespace

// The running start, told to the state for a signal that must wait for its outcome.
class StartInProgress {
public:
    explicit StartInProgress(LoopState& state) : state_(state), begun_(state.beginStart()) {}
    ~StartInProgress() {
        if (begun_) state_.endStart();
    }
    bool begun() const { return begun_; }

private:
    LoopState& state_;
    bool begun_;
};

void handleStart(const std::shared_ptr<LoopState>& state, const std::string& argument) {
    StartInProgress starting(*state);
    // Shutting down: no new recording, and nothing more to say.
    if (!starting.begun()) return;
    if (state->recordingActive) return emitError("Already recording", "ALREADY_RUNNING");
    auto config = acceptedRequest(argument, RequestKind::start);
    if (!config) return;
    auto options = recordingOptions(*config, state->platform());
    auto recorder = Dovezode::Recorder::make(state->platform());
    state->setCurrentRecorder(recorder);
    installCallbacks(*recorder, state);
    try {
        recorder->start(Dovezode::Target::screen, options);
    } catch (...) {
        // After "shutdown" the host hears only of the files' finish.
        if (state->shuttingDown()) return;
        return emitError(textualDescription(std::current_exception()), "ERROR_STARTING");
    }
    state->recordingActive = true;
    // A recording that failed after the start returned and before the flag was set told its
    // error then, and its clearing of the flag came too early: it is not recording.
    if (recorder->hasFailed()) state->recordingActive = false;
    // A recording that failed while paused leaves the flag set; a new one starts unpaused.
    state->recordingPaused = false;
}

void handleStop(LoopState& state) {
    if (!state.recordingActive) return emitError("", "NO_RECORDING");
    auto recorder = state.currentRecorder();
    if (!recorder) return;
    auto outcome = state.stopRecorder(recorder);
    if (outcome.failure) emitError(textualDescription(outcome.failure), "ERROR_STOPPING");
}

void handlePause(LoopState& state) {
    if (!state.recordingActive) return emitError("", "NO_RECORDING");
    if (state.recordingPaused) return emitError("", "ALREADY_PAUSED");
    auto recorder = state.currentRecorder();
    if (!recorder) return;
    try {
        recorder->pause();
    } catch (...) {
        emitError(textualDescription(std::current_exception()), "ERROR_PAUSE");
    }
}

void handleResume(LoopState& state, const std::string& argument) {
    if (!state.recordingActive) return emitError("", "NO_RECORDING");
    if (!state.recordingPaused) return emitError("", "NOT_PAUSED");
    auto recorder = state.currentRecorder();
    if (!recorder) return;
    auto config = acceptedRequest(argument, RequestKind::resume);
    if (!config) return;
    try {
        recorder->resume(Dovezode::Target::screen, recordingOptions(*config, state.platform()));
    } catch (...) {
        emitError(textualDescription(std::current_exception()), "ERROR_RESUME");
    }
}

} // namespace tavrik
