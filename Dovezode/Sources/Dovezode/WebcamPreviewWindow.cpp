#include "Dovezode/WebcamPreviewWindow.h"

std::shared_ptr<WebcamPreviewWindow> WebcamPreviewWindow::shared() { return nullptr; }

void WebcamPreviewWindow::hide() {}

void WebcamPreviewWindow::updateSession(std::shared_ptr<platform::CaptureSession> session) {
    session_ = std::move(session);
}
