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
    // After "shutdown" the only event of the recording is its "finish" (or the
    // signal's failed stop): what else happens as it ends is not told.
    auto silenced = [cells] {
        auto live = cells.lock();
        return live && live->shuttingDown();
    };
    // onStart and onResume run under the engine's synchronisation lock: one line and one flag, no more.
    recorder.setOnStart([silenced](int64_t startMs) {
        if (!silenced()) emit("started", {{"timestamp", startMs}});
    });
    recorder.setOnPause([setPaused, silenced](const Dovezode::RecordingDurations& durations) {
        if (!silenced()) emit("paused", {{"timestamp", ""}, {"message", durationsJson(durations)}});
        setPaused(true);
    });
    recorder.setOnResume([setPaused, silenced](int64_t startMs) {
        if (!silenced()) emit("resumed", {{"timestamp", startMs}});
        setPaused(false);
    });
    recorder.setOnFinish([setPaused](const Dovezode::RecordingDurations& durations) {
        emit("finish", {{"timestamp", ""}, {"message", durationsJson(durations)}});
        setPaused(false);
    });
    recorder.setOnError([cells, silenced](const Dovezode::Error& error) {
        if (auto live = cells.lock()) live->recordingActive = false;
        if (!silenced()) emit("error", {{"message", error.localizedDescription()}, {"code", "RECORDING_ERROR"}});
    });
}

} // namespace tavrik
