#include "Dovezode/PreviewSession.h"

#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/error.h"

namespace {

[[noreturn]] void previewsUnavailable() {
    throw platform::PlatformError("Dovezode.PreviewSession", 1, "Previews are not available in this build.");
}

} // namespace

void PreviewSession::startWebcamPreview(const std::string&, PreviewShape) { previewsUnavailable(); }

void PreviewSession::startMicrophonePreview(const std::string&) { previewsUnavailable(); }

void PreviewSession::stopWebcamPreview() {
    stopCaptureSession();
    WebcamPreviewWindow::hide();
}

void PreviewSession::stopMicrophonePreview() { previewingMicrophone_ = false; }

void PreviewSession::stopAll() {
    stopMicrophonePreview();
    stopWebcamPreview();
}

void PreviewSession::stopCaptureSession() { previewingWebcam_ = false; }
