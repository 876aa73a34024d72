#pragma once
// The floating camera preview window: borderless, kept above normal windows and
// on every desktop, out of the task bar and pager, shaped (rounded corners or a
// circle) and moved by dragging anywhere in it. It shows the camera frames of
// the capture session attached to it, scaled to its size, the newest frame
// first (frames never queue up).
//
// Every call, the release of a window included, is made on the main queue; the
// backend serves the window's own events there too.

#include "platform/capture_session.h"
#include "platform/geometry.h"

#include <memory>

namespace platform {

// How a picture of another aspect ratio fills the window.
enum class VideoGravity {
    resizeAspect,      // whole, with bars
    resizeAspectFill,  // cropped to fill
};

struct PreviewWindowStyle {
    // Content size in points (on X a point is a pixel; a half pixel rounds up).
    Size size;
    // Radius of the rounded corners; unused for a circular window.
    double cornerRadius = 0;
    // A circle of radius half the shorter side.
    bool circular = false;
    VideoGravity gravity = VideoGravity::resizeAspect;
};

class PreviewWindow {
public:
    // Takes the window off screen and releases it with the session attached to it.
    virtual ~PreviewWindow() = default;

    // Shows this session's frames from now on. The window holds the session (and its
    // own video output on it) until another is attached or the window is released.
    virtual void attachSession(std::shared_ptr<CaptureSession> session) = 0;
    virtual std::shared_ptr<CaptureSession> attachedSession() const = 0;

    // Moves the window's top-left corner to this point of the global display space.
    virtual void setFrameOrigin(Point origin) = 0;
    // Where the window is now (after the user dragged it, too) and its size.
    virtual Rect frame() const = 0;

    // Puts the window on screen, in front of the others.
    virtual void orderFront() = 0;
    // Takes it off screen; it can be ordered front again.
    virtual void orderOut() = 0;
};

class PreviewWindowService {
public:
    virtual ~PreviewWindowService() = default;
    // A new window, off screen, at the origin. Throws PlatformError when no display
    // server can be reached.
    virtual std::unique_ptr<PreviewWindow> makeWindow(const PreviewWindowStyle& style) = 0;
};

} // namespace platform
