#include "Tavrik/PreviewCommand.h"

#include "Tavrik/Emit.h"
#include "Tavrik/LoopState.h"
#include "Tavrik/Requests.h"

namespace tavrik {
namespace {

void emitPreviewError(const char* which) { emit("error", {{"message", which}, {"code", "PREVIEW_ERROR"}}); }

} // namespace

void handlePreview(LoopState& state, const std::string& argument) {
    auto config = decodePreviewConfig(argument);
    if (!config) {
        emit("error", {{"message", "Invalid JSON config"}, {"code", "INVALID_CONFIG"}});
        return;
    }
    auto recorder = state.currentRecorder();
    if (!recorder) {
        recorder = Dovezode::Recorder::make(state.platform());
        state.setCurrentRecorder(recorder);
    }
    if (config->microphoneID) {
        try {
            recorder->previewSession().startMicrophonePreview(*config->microphoneID);
        } catch (...) {
            // The failure's own text is not reported.
            emitPreviewError("microphone");
        }
    } else {
        recorder->stopMicrophonePreview();
    }
    if (config->webcamID) {
        try {
            recorder->previewSession().startWebcamPreview(*config->webcamID,
                                                          config->previewMode.value_or(PreviewShape::original));
        } catch (...) {
            emitPreviewError("webcam");
        }
    } else {
        recorder->stopWebcamPreview();
    }
}

} // namespace tavrik
