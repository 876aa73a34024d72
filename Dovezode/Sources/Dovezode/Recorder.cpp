#include "Dovezode/Recorder.h"

#include "Dovezode/RecordingSession.h"

namespace Dovezode {

std::shared_ptr<Recorder> Recorder::make(platform::Platform& platform) {
    return std::shared_ptr<Recorder>(new Recorder(platform));
}

Recorder::~Recorder() = default;

std::shared_ptr<RecordingSession> Recorder::session() const {
    std::lock_guard guard(mutex_);
    return recordingSession_;
}

void Recorder::setOnStart(StartCallback callback) {
    std::lock_guard guard(mutex_);
    onStart_ = std::move(callback);
}

void Recorder::setOnFinish(DurationsCallback callback) {
    std::lock_guard guard(mutex_);
    onFinish_ = std::move(callback);
}

void Recorder::setOnPause(DurationsCallback callback) {
    std::lock_guard guard(mutex_);
    onPause_ = std::move(callback);
}

void Recorder::setOnResume(StartCallback callback) {
    std::lock_guard guard(mutex_);
    onResume_ = std::move(callback);
}

void Recorder::setOnError(ErrorCallback callback) {
    std::shared_ptr<RecordingSession> running;
    {
        std::lock_guard guard(mutex_);
        onError_ = callback;
        running = recordingSession_;
    }
    if (running) running->setOnError(std::move(callback));
}

bool Recorder::isPaused() const {
    auto running = session();
    return running && running->isPaused();
}

bool Recorder::hasFailed() const {
    auto running = session();
    return running && running->error().has_value();
}

void Recorder::start(Target target, const RecordingOptions& options) {
    if (session()) throw Error::recorderAlreadyStarted();
    previewSession_.stopMicrophonePreview();
    previewSession_.stopCaptureSession();

    auto fresh = RecordingSession::make(platform_);
    {
        std::lock_guard guard(mutex_);
        fresh->setOnError(onError_);
    }
    // Refers to the recorder and the session without keeping either alive.
    std::weak_ptr<Recorder> weakRecorder = weak_from_this();
    std::weak_ptr<RecordingSession> weakSession = fresh;
    fresh->setOnSyncResolved([weakRecorder, weakSession](int64_t startMs) {
        auto recorder = weakRecorder.lock();
        auto resolved = weakSession.lock();
        if (!recorder) return;
        StartCallback callback;
        {
            std::lock_guard guard(recorder->mutex_);
            callback = resolved && resolved->isResumed() ? recorder->onResume_ : recorder->onStart_;
        }
        if (callback) callback(startMs);
    });
    fresh->start(target, options);
    // A recording that failed while it started (its error already told to onError) is
    // not kept: the start fails with that error and the recorder can start again.
    if (auto failure = fresh->error()) throw *failure;
    std::lock_guard guard(mutex_);
    recordingSession_ = std::move(fresh);
}

void Recorder::stop() {
    auto running = session();
    if (!running) throw Error::recorderNotStarted();
    if (auto failure = running->error()) throw *failure;
    running->markEnd();
    running->cleanUp();
    // Measured once the files are complete, so they report what the files hold.
    RecordingDurations durations = running->captureDurations();
    DurationsCallback onFinish;
    {
        std::lock_guard guard(mutex_);
        recordingSession_.reset();
        onFinish = onFinish_;
    }
    running.reset();
    if (onFinish) onFinish(durations);
}

void Recorder::pause() {
    auto running = session();
    if (!running) throw Error::recorderNotStarted();
    running->markEnd();
    RecordingDurations durations = running->pause();
    DurationsCallback onPause;
    {
        std::lock_guard guard(mutex_);
        onPause = onPause_;
    }
    if (onPause) onPause(durations);
}

void Recorder::resume(Target target, const RecordingOptions& options) {
    auto running = session();
    if (!running) throw Error::recorderNotStarted();
    running->setResumed();
    running->resume(target, options);
}

void Recorder::startWebcamPreview(const std::string& deviceID, PreviewShape shape) {
    previewSession_.startWebcamPreview(deviceID, shape);
}

void Recorder::stopWebcamPreview() { previewSession_.stopWebcamPreview(); }

void Recorder::startMicrophonePreview(const std::string& deviceID) { previewSession_.startMicrophonePreview(deviceID); }

void Recorder::stopMicrophonePreview() { previewSession_.stopMicrophonePreview(); }

void Recorder::stopAllPreviews() { previewSession_.stopAll(); }

} // namespace Dovezode
