#pragma once
// The capture engine's facade: at most one recording at a time, the previews,
// and five callbacks that report what the recording does.
//
// Operations are meant to be called one at a time by one caller. The callbacks
// run on other threads: onStart and onResume on the capture thread that
// completed a segment's synchronisation, with its lock held (they must be short
// and must not call back into the recorder); onPause and onFinish inside pause()
// and stop(); onError in start() or on the thread that reports a failed stream.

#include "Dovezode/Error.h"
#include "Dovezode/PreviewSession.h"
#include "Dovezode/RecordingDurations.h"
#include "Dovezode/RecordingOptions.h"
#include "Dovezode/Target.h"

#include "platform/platform.h"

#include <functional>
#include <memory>
#include <mutex>

namespace Dovezode {

class RecordingSession;

class Recorder : public std::enable_shared_from_this<Recorder> {
public:
    using StartCallback = std::function<void(int64_t startMs)>;
    using DurationsCallback = std::function<void(const RecordingDurations&)>;
    using ErrorCallback = std::function<void(const Error&)>;

    // Records with the given platform, which must outlive the recorder.
    static std::shared_ptr<Recorder> make(platform::Platform& platform);
    ~Recorder();

    PreviewSession& previewSession() { return previewSession_; }

    void setOnStart(StartCallback callback);
    void setOnFinish(DurationsCallback callback);
    void setOnPause(DurationsCallback callback);
    void setOnResume(StartCallback callback);
    // Also passed on to a running recording.
    void setOnError(ErrorCallback callback);

    bool isPaused() const;
    // The recording failed (the error was told to onError); false without a session.
    bool hasFailed() const;
    bool isPreviewingWebcam() const { return previewSession_.isPreviewingWebcam(); }
    bool isPreviewingMicrophone() const { return previewSession_.isPreviewingMicrophone(); }

    // Returns once capture runs; onStart follows at the first synchronised sample.
    // Throws Error.
    void start(Target target, const RecordingOptions& options);
    // Finishes the files and calls onFinish. Throws Error (recorderNotStarted, or
    // the error of a recording that failed).
    void stop();
    // Finishes the segment's files and calls onPause. Throws Error.
    void pause();
    // Opens a new segment and returns once it has started. Throws Error or a
    // platform::PlatformError passed through from the output set-up.
    void resume(Target target, const RecordingOptions& options);

    void startWebcamPreview(const std::string& deviceID, PreviewShape shape);
    void stopWebcamPreview();
    void startMicrophonePreview(const std::string& deviceID);
    void stopMicrophonePreview();
    void stopAllPreviews();

private:
    explicit Recorder(platform::Platform& platform) : platform_(platform), previewSession_(platform) {}
    std::shared_ptr<RecordingSession> session() const;

    platform::Platform& platform_;
    PreviewSession previewSession_;
    // Guards the callbacks and the session pointer, which capture threads read.
    mutable std::mutex mutex_;
    std::shared_ptr<RecordingSession> recordingSession_;
    StartCallback onStart_;
    DurationsCallback onFinish_;
    DurationsCallback onPause_;
    StartCallback onResume_;
    ErrorCallback onError_;
};

} // namespace Dovezode
