#pragma once
// The webcam and microphone previews of one recorder.

#include "Dovezode/PreviewShape.h"

#include <atomic>
#include <string>

class PreviewSession {
public:
    // Throw an engine or platform error when the preview cannot start.
    void startWebcamPreview(const std::string& deviceID, PreviewShape shape);
    void startMicrophonePreview(const std::string& deviceID);
    // Ends the webcam preview and hides the preview window.
    void stopWebcamPreview();
    void stopMicrophonePreview();
    void stopAll();
    // Ends the webcam preview's capture session; the preview window stays.
    void stopCaptureSession();

    bool isPreviewingWebcam() const { return previewingWebcam_; }
    bool isPreviewingMicrophone() const { return previewingMicrophone_; }

private:
    std::atomic<bool> previewingWebcam_{false};
    std::atomic<bool> previewingMicrophone_{false};
};
