#include "Tavrik/EngineCallbacks.h"

#include "Tavrik/Emit.h"
#include "Tavrik/LoopState.h"

#include "Dovezode/Recorder.h"

namespace tavrik {
namespace {

Json millisecondsOrNull(std::optional<uint64_t> value) { return value ? Json(*value) : Json(nullptr); }

} // namespace

Json durationsJson(const Dovezode::RecordingDurations& durations) {
    return {{"screen", millisecondsOrNull(durations.screen())},
            {"mic", millisecondsOrNull(durations.mic())},
            {"sys", millisecondsOrNull(durations.sys())},
            {"cam", millisecondsOrNull(durations.cam())}};
}

void installCallbacks(Dovezode::Recorder& recorder, const std::shared_ptr<LoopState>& state) {
    // The state holds the recorder, so the callbacks refer to the state weakly.
    std::weak_ptr<LoopState> cells = state;
    auto setPaused = [cells](bool paused) {
        if (auto live = cells.lock()) live->recordingPaused = paused;
    };
    // onStart and onResume run under the engine's synchronisation lock: one line and one flag, no more.
    recorder.setOnStart([](int64_t startMs) { emit("started", {{"timestamp", startMs}}); });
    recorder.setOnPause([setPaused](const Dovezode::RecordingDurations& durations) {
        emit("paused", {{"timestamp", ""}, {"message", durationsJson(durations)}});
        setPaused(true);
    });
    recorder.setOnResume([setPaused](int64_t startMs) {
        emit("resumed", {{"timestamp", startMs}});
        setPaused(false);
    });
    recorder.setOnFinish([setPaused](const Dovezode::RecordingDurations& durations) {
        emit("finish", {{"timestamp", ""}, {"message", durationsJson(durations)}});
        setPaused(false);
    });
    recorder.setOnError([cells](const Dovezode::Error& error) {
        if (auto live = cells.lock()) live->recordingActive = false;
        emit("error", {{"message", error.localizedDescription()}, {"code", "RECORDING_ERROR"}});
    });
}

} // namespace tavrik
