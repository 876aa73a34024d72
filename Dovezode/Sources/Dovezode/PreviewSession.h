#pragma once
// The webcam and microphone previews of one recorder: the camera shown live in
// the shared preview window, the microphone's level printed as "VOL:" lines on
// standard output, one line for each buffer the microphone delivers.
//
// The operations run on the caller's thread and must not overlap; starting the
// webcam preview waits for the main queue, so it is never called there.

#include "Dovezode/PreviewShape.h"

#include <atomic>
#include <memory>
#include <string>

namespace platform {
class CaptureSampleDelegate;
class CaptureSession;
class Queue;
struct Platform;
}

class PreviewSession {
public:
    // Finds and opens the devices with the given platform, which must outlive the session.
    explicit PreviewSession(platform::Platform& platform);
    // Stops the microphone preview: once this object is gone nothing could stop its
    // level lines any more. A camera keeps showing in the window, which holds its session.
    ~PreviewSession();
    PreviewSession(const PreviewSession&) = delete;
    PreviewSession& operator=(const PreviewSession&) = delete;

    // Both do nothing while their preview runs. They throw Error::webcamNotFound or
    // Error::microphoneNotFound for an unknown device, or the platform's error when
    // the device cannot be opened (or no window can be shown); the preview stays idle.
    void startWebcamPreview(const std::string& deviceID, PreviewShape shape);
    void startMicrophonePreview(const std::string& deviceID);
    // Ends the webcam preview and hides the preview window (also when idle).
    void stopWebcamPreview();
    void stopMicrophonePreview();
    // The webcam preview, then the microphone preview.
    void stopAll();
    // Ends the webcam preview's capture session; the preview window stays.
    void stopCaptureSession();

    bool isPreviewingWebcam() const { return previewingWebcam_; }
    bool isPreviewingMicrophone() const { return previewingMicrophone_; }

private:
    platform::Platform& platform_;
    std::atomic<bool> previewingWebcam_{false};
    std::atomic<bool> previewingMicrophone_{false};
    std::shared_ptr<platform::CaptureSession> webcamCaptureSession_;
    std::shared_ptr<platform::CaptureSession> microphoneCaptureSession_;
    // Delivery queue of the microphone's buffers, labelled "micVolumeQueue".
    std::shared_ptr<platform::Queue> micQueue_;
    // Receives the microphone's buffers and writes the level lines; reads nothing of this object.
    std::shared_ptr<platform::CaptureSampleDelegate> levelMeter_;
};
