#pragma once
// The floating webcam preview window, one shared instance. Every operation runs
// on the main queue. This is the part the recording engine uses; the window
// itself is shown by the previews.

#include <memory>

namespace platform {
class CaptureSession;
}

class WebcamPreviewWindow {
public:
    // The shared window, or null while no preview has made one.
    static std::shared_ptr<WebcamPreviewWindow> shared();
    // Hides the shared window, if there is one.
    static void hide();

    // Shows the camera of another capture session in the window.
    void updateSession(std::shared_ptr<platform::CaptureSession> session);
    const std::shared_ptr<platform::CaptureSession>& session() const { return session_; }

private:
    std::shared_ptr<platform::CaptureSession> session_;
};
