#pragma once
// What the running platform can do, stated by the backend instead of an
// operating-system version number. The fake backend lets a test choose either side.

namespace platform {

struct Capabilities {
    // Each concern adds the flags its callers branch on, with the default of the Linux backend.

    // Capture devices are found with the newer device types (microphone, external,
    // continuity camera) rather than the older built-in/external-unknown ones. Linux: yes.
    bool newerCaptureDeviceTypes = true;
    // Windows report whether they are the active one; otherwise every window reads inactive. Linux: yes.
    bool windowActiveFlag = true;
    // A screen stream can capture the microphone itself. Linux: no, a capture session does.
    bool streamCapturesMicrophone = false;
    // A screen stream can draw mouse clicks into its frames. Linux: no.
    bool streamDrawsClicks = false;
    // A display or window is sized from its content filter's rectangle rather than its frame. Linux: yes.
    bool contentRectangleSizing = true;
};

} // namespace platform
