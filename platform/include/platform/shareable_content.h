#pragma once
// Shareable content: the displays and windows that can be captured right now.
// Each fetch asks the window system afresh; nothing is cached between fetches.

#include "platform/geometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The error domain of content and stream failures, with the codes callers branch on.
inline constexpr const char* kStreamErrorDomain = "com.apple.ScreenCaptureKit.SCStreamErrorDomain";
enum StreamErrorCode : int64_t {
    // The user refused screen-capture access.
    kStreamErrorUserDeclined = -3801,
    // The stream could not start capturing (no X server, no usable screen, a second start).
    kStreamErrorFailedToStart = -3802,
    kStreamErrorInternal = -3811,
    kStreamErrorNoWindowList = -3813,
    // The display server cannot be reached, so nothing can be listed.
    kStreamErrorNoDisplayList = -3814,
    // The window or display to capture is gone.
    kStreamErrorNoCaptureSource = -3815,
    // System audio (or the microphone) of a stream could not be captured.
    kStreamErrorFailedToStartAudioCapture = -3818,
    // A running stream stopped because the display server or sound server went away.
    kStreamErrorSystemStoppedStream = -3821,
};

struct Display {
    uint32_t displayID = 0;
    int64_t width = 0;
    int64_t height = 0;
    Rect frame;
    bool operator==(const Display&) const = default;
};

struct RunningApplication {
    std::string applicationName;
    std::string bundleIdentifier;
    int32_t processID = 0;  // 0 when the window system does not know it
    bool operator==(const RunningApplication&) const = default;
};

// Layers: 0 for ordinary windows; larger values stay in front of smaller ones.
inline constexpr int64_t kDesktopWindowLayer = -2147483623;
inline constexpr int64_t kBelowWindowLayer = -1;
inline constexpr int64_t kNormalWindowLayer = 0;
inline constexpr int64_t kFloatingWindowLayer = 3;
inline constexpr int64_t kDockWindowLayer = 20;

struct Window {
    uint32_t windowID = 0;
    std::optional<std::string> title;  // absent when the window has none; may be empty
    std::optional<RunningApplication> owningApplication;
    bool isOnScreen = false;
    bool isActive = false;
    int64_t windowLayer = kNormalWindowLayer;
    Rect frame;  // the whole window, decorations included
    bool operator==(const Window&) const = default;
};

struct ShareableContentOptions {
    // Leaves out desktop windows (the desktop background and its icons).
    bool excludingDesktopWindows = false;
    // Leaves out windows that are not shown (minimised, hidden, on another desktop, unmapped).
    bool onScreenWindowsOnly = false;
};

struct ShareableContent {
    std::vector<Display> displays;  // in the window system's order
    std::vector<Window> windows;    // front to back
};

class ShareableContentService {
public:
    virtual ~ShareableContentService() = default;
    // Blocks until the window system has answered; callable from any thread but
    // the main queue's. Throws PlatformError (domain kStreamErrorDomain) when the
    // content cannot be fetched; never returns a partial list. All strings are valid UTF-8.
    virtual ShareableContent current(const ShareableContentOptions& options) = 0;
};

} // namespace platform
