#include "Dovezode/PreviewSession.h"

#include "Dovezode/Devices.h"
#include "Dovezode/Error.h"
#include "Dovezode/LevelMeter.h"
#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/capture_session.h"
#include "platform/platform.h"
#include "platform/queues.h"

namespace {

// Width of the webcam preview; its height follows the camera's aspect ratio.
constexpr double kPreviewWidth = 200.0;

class LevelMeterOutput final : public platform::CaptureSampleDelegate {
public:
    void captureOutputDidOutput(platform::CaptureOutput&, const platform::SampleBufferRef& sample) override {
        if (!sample) return;
        auto measurement = Dovezode::level_meter::measure(*sample);
        if (!measurement) return;
        if (auto level = Dovezode::level_meter::level(*measurement)) Dovezode::level_meter::writeLevelLine(*level);
    }
};

// 200 wide, as high as the camera's active format's aspect ratio asks (divided
// first); square when the camera reports no usable size.
platform::Size previewSize(const platform::CaptureDevice& camera) {
    std::optional<platform::VideoDimensions> dimensions;
    if (camera.activeFormat && *camera.activeFormat < camera.formats.size()) {
        dimensions = camera.formats[*camera.activeFormat].videoDimensions;
    }
    if (!dimensions || dimensions->width <= 0 || dimensions->height <= 0) return {kPreviewWidth, kPreviewWidth};
    return {kPreviewWidth, double(dimensions->height) / double(dimensions->width) * kPreviewWidth};
}

void stopIfPresent(std::shared_ptr<platform::CaptureSession>& session) {
    if (session) session->stopRunning();
    session.reset();
}

} // namespace

PreviewSession::PreviewSession(platform::Platform& platform)
    : platform_(platform),
      micQueue_(platform::makeSerialQueue("micVolumeQueue")), levelMeter_(std::make_shared<LevelMeterOutput>()) {}

PreviewSession::~PreviewSession() { stopMicrophonePreview(); }

void PreviewSession::startWebcamPreview(const std::string& deviceID, PreviewShape shape) {
    if (previewingWebcam_) return;
    auto camera = Dovezode::Devices::findDevice(platform_, Dovezode::Devices::cameraDeviceTypes(platform_.capabilities),
                                                platform::MediaType::video, deviceID);
    if (!camera) throw Dovezode::Error::webcamNotFound(deviceID);
    auto& sessions = *platform_.captureSessions;
    auto session = sessions.makeSession();
    auto input = sessions.makeDeviceInput(*camera);
    if (session->canAddInput(input)) session->addInput(input);
    webcamCaptureSession_ = session;
    try {
        WebcamPreviewWindow::show(session, previewSize(*camera), shape);
    } catch (...) {
        // No window to show the camera in: the preview stays idle.
        webcamCaptureSession_.reset();
        throw;
    }
    session->startRunning();
    previewingWebcam_ = true;
}

void PreviewSession::startMicrophonePreview(const std::string& deviceID) {
    if (previewingMicrophone_) return;
    auto microphone = Dovezode::Devices::findDevice(
        platform_, Dovezode::Devices::microphoneDeviceTypes(platform_.capabilities), platform::MediaType::audio, deviceID);
    if (!microphone) throw Dovezode::Error::microphoneNotFound(deviceID);
    auto& sessions = *platform_.captureSessions;
    auto session = sessions.makeSession();
    auto input = sessions.makeDeviceInput(*microphone);
    if (session->canAddInput(input)) session->addInput(input);
    // The platform's audio data output gives 32-bit float samples, which the meter measures.
    auto output = sessions.makeAudioDataOutput();
    output->setSampleBufferDelegate(levelMeter_, micQueue_);
    if (session->canAddOutput(output)) session->addOutput(output);
    microphoneCaptureSession_ = session;
    session->startRunning();
    previewingMicrophone_ = true;
}

void PreviewSession::stopWebcamPreview() {
    stopCaptureSession();
    WebcamPreviewWindow::hide();
}

void PreviewSession::stopMicrophonePreview() {
    // The meter shows the live level: what the microphone still holds from before the
    // stop is of no use to it, and its lines must end with the preview.
    if (microphoneCaptureSession_) microphoneCaptureSession_->stopRunningAtOnce();
    microphoneCaptureSession_.reset();
    previewingMicrophone_ = false;
}

void PreviewSession::stopAll() {
    stopWebcamPreview();
    stopMicrophonePreview();
}

void PreviewSession::stopCaptureSession() {
    stopIfPresent(webcamCaptureSession_);
    previewingWebcam_ = false;
}
