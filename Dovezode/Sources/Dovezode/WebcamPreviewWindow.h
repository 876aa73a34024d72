#pragma once
// The floating webcam preview window, one shared instance, in the bottom-right
// corner of the main screen: borderless, above normal windows, on every desktop,
// shaped by its PreviewShape and moved by dragging. It shows the camera of the
// capture session attached to it and holds that session until another is
// attached or the window is hidden.
//
// The window and `shared()` live on the main queue: `show()` runs there
// synchronously (never call it on the main thread), `hide()` asynchronously;
// `shared()`, `updateSession()` and the accessors are for code on the main queue.

#include "Dovezode/PreviewShape.h"

#include "platform/geometry.h"

#include <memory>

namespace platform {
class CaptureSession;
class PreviewWindow;
}

class WebcamPreviewWindow {
public:
    // Creates the shared window with this size and shape when there is none (an
    // existing one keeps its size, shape and place), attaches the session and
    // brings the window to the front. Waits for the main queue. Throws the
    // platform's error when no window can be made.
    static void show(std::shared_ptr<platform::CaptureSession> session, platform::Size size, PreviewShape shape);
    // Takes the shared window off screen and releases it, later on the main queue.
    static void hide();
    // The shared window, or null while none is up.
    static std::shared_ptr<WebcamPreviewWindow> shared();
    // Takes the capture session out of the shared window, if one is up, and gives it
    // back (null when there is none); the window stays, showing its last picture until
    // a session is attached again. A recording about to open a camera stops the preview's
    // session first: a camera streams to one session at a time, and some drivers let
    // only one open it. Waits for the main queue while a window may be up (never call it
    // on the main thread); returns at once when none is.
    static std::shared_ptr<platform::CaptureSession> takeSession();

    ~WebcamPreviewWindow();

    // Shows the camera of another capture session in the window.
    void updateSession(std::shared_ptr<platform::CaptureSession> session);
    std::shared_ptr<platform::CaptureSession> session() const;
    PreviewShape shape() const { return shape_; }
    // The window's place and size now.
    platform::Rect frame() const;

    // Brings this window to the front; takes it off screen.
    void orderFront();
    void orderOut();

private:
    WebcamPreviewWindow(std::shared_ptr<platform::CaptureSession> session, platform::Size size, PreviewShape shape);
    void positionBottomRight();

    PreviewShape shape_ = PreviewShape::original;
    std::unique_ptr<platform::PreviewWindow> window_;
};
