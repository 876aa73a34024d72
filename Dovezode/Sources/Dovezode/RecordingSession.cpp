// The life cycle of a recording: start, pause, resume, the end of a segment, the
// stop, and a failure that ends the recording.

#include "Dovezode/RecordingSession.h"

#include "Dovezode/Durations.h"
#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/queues.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace Dovezode {

using platform::MediaTime;
using platform::PlatformError;

namespace {

// How long a resume waits for its segment to start: every source of a segment
// delivers within a few frame intervals, so a source still silent after this
// will not deliver (a device that stopped, a stream without that source).
constexpr std::chrono::seconds kSegmentStartLimit{4};

PlatformError segmentDidNotStart(const std::vector<SyncPipeline>& silent) {
    std::string sources;
    for (size_t i = 0; i < silent.size(); ++i) {
        if (i > 0) sources += i + 1 == silent.size() ? " and " : ", ";
        switch (silent[i]) {
        case SyncPipeline::screen: sources += "the screen"; break;
        case SyncPipeline::mic: sources += "the microphone"; break;
        case SyncPipeline::webcam: sources += "the camera"; break;
        case SyncPipeline::sysAudio: sources += "the system audio"; break;
        }
    }
    if (sources.empty()) sources = "the screen";
    return PlatformError(platform::kCaptureErrorDomain, platform::kCaptureErrorDeviceNotConnected,
                         "Nothing came from " + sources + " within " + std::to_string(kSegmentStartLimit.count()) +
                             " seconds.");
}

// How long a pause or stop waits for the stream's first picture: a stream grabs it as
// it starts, so a few frame intervals (at least 100 ms) cover a busy machine, and a stop
// of a stream that delivers nothing is not held up for long.
std::chrono::milliseconds firstPictureWait(const RecordingOptions* options) {
    const int64_t fps = options ? options->framesPerSecond : 0;
    const int64_t intervals = fps > 0 ? 3000 / fps : 0;
    return std::chrono::milliseconds(std::max<int64_t>(100, intervals));
}

} // namespace

std::shared_ptr<RecordingSession> RecordingSession::make(platform::Platform& platform) {
    return std::shared_ptr<RecordingSession>(new RecordingSession(platform));
}

RecordingSession::~RecordingSession() = default;

void RecordingSession::setOnError(ErrorCallback callback) {
    std::lock_guard guard(stateLock_);
    onError_ = std::move(callback);
}

void RecordingSession::setOnSyncResolved(ResolvedCallback callback) { sync_.setOnSyncResolved(std::move(callback)); }

void RecordingSession::setResumed() { isResumed_ = true; }

std::optional<Error> RecordingSession::error() const {
    std::lock_guard guard(stateLock_);
    return error_;
}

RecordingSession::Snapshot RecordingSession::snapshot() const {
    uint64_t segment = segment_;
    std::lock_guard guard(stateLock_);
    return {target_, options_, segment, endAt_};
}

// ---- Start

void RecordingSession::start(Target target, const RecordingOptions& options) {
    {
        std::lock_guard guard(stateLock_);
        if (target_) throw Error::recorderAlreadyStarted();
        target_ = target;
        options_ = std::make_shared<const RecordingOptions>(options);
    }
    if (target != Target::audioOnly && !options.targetID) throw Error::noTargetProvided();
    sync_.setCaptureClock(platform_.captureClock);
    setUpStream(target, options);

    std::optional<Error> failure;
    try {
        initOutput(target, options);
    } catch (const Error& error) {
        failure = error;
    } catch (const PlatformError& error) {
        failure = Error::couldNotStartStream(error);
    }
    if (!failure) return;
    cleanUp();
    // A refused start leaves no file behind: the writers that never wrote remove their files.
    finishAll(true);
    ErrorCallback onError;
    {
        std::lock_guard guard(stateLock_);
        // A failure already told while the start ran is not told again.
        if (!error_) onError = onError_;
    }
    if (onError) onError(*failure);
    throw *failure;
}

// ---- Failure and clean-up

void RecordingSession::recordError(const Error& error, MediaTime failedAt) {
    ErrorCallback onError;
    {
        std::lock_guard guard(stateLock_);
        if (error_) return;
        error_ = error;
        onError = onError_;
        if (failedAt.isNumeric() && (!endAt_.isValid() || platform::compare(failedAt, endAt_) < 0)) endAt_ = failedAt;
        // A resume waiting for its first frame would otherwise wait for ever.
        if (resumeHandOff_) {
            isResuming_ = false;
            resumeHandOff_->set_exception(std::make_exception_ptr(error));
            resumeHandOff_.reset();
        }
    }
    // Capture stops and the files are finished (a writer that never wrote removes its
    // file) before the failure is told: a host that ends the program on hearing of it
    // finds every file complete and no empty one.
    cleanUp();
    finishAll(true);
    if (onError) onError(error);
}

void RecordingSession::finishAll(bool dropWriters) {
    MediaTime end;
    {
        std::lock_guard guard(stateLock_);
        end = endAt_;
    }
    for (OutputFile* file : {&main_, &systemAudio_, &microphone_, &webcam_}) {
        file->closing = true;
        std::lock_guard guard(file->lock);
        file->finishWriting(end);
        // A file that failed ends early (on a full disk, a video's last pictures may find
        // no room as it is finished): the files finished after it end there too.
        if (file->writer) {
            const auto failedAt = file->writer->failedAt();
            if (failedAt && failedAt->isNumeric() && (!end.isValid() || platform::compare(*failedAt, end) < 0))
                end = *failedAt;
        }
        if (dropWriters) file->replace(nullptr, nullptr);
    }
}

void RecordingSession::setEndTime() {
    std::lock_guard guard(stateLock_);
    if (!endAt_.isValid() && platform_.captureClock) endAt_ = platform_.captureClock();
}

void RecordingSession::markEnd() {
    Snapshot state = snapshot();
    const bool showsScreen = state.target && *state.target != Target::audioOnly && *state.target != Target::lumbra;
    if (!isPaused_ && showsScreen) {
        bool waiting;
        {
            std::lock_guard guard(main_.lock);
            waiting = main_.writer && !main_.running && !main_.closing;
        }
        if (waiting) {
            std::unique_lock lock(pictureLock_);
            pictureArrived_.wait_for(lock, firstPictureWait(state.options.get()),
                                     [&] { return latestPicture_ != nullptr; });
        }
    }
    if (!isPaused_) {
        // Reports the start before the pause or stop that ends the segment.
        sync_.resolveNow();
        if (showsScreen) {
            std::lock_guard guard(main_.lock);
            if (main_.writer && !main_.running && !main_.closing && !isStale(state)) openMainVideo(state);
        }
    }
    setEndTime();
    if (!isPaused_) waitForAudioUpToEnd();
}

void RecordingSession::waitForAudioUpToEnd() {
    MediaTime end;
    {
        std::lock_guard guard(stateLock_);
        end = endAt_;
    }
    if (!end.isNumeric()) return;
    auto holdsEnd = [&](OutputFile& file) {
        std::lock_guard guard(file.lock);
        if (!file.writer || file.closing || file.startFailed) return true;
        // Nothing of the segment's sound has come yet (a source that delivers in blocks may
        // hand over its first one after the segment's end): wait for it as for the rest.
        if (!file.running) return false;
        return file.lastPTS.isNumeric() &&
               platform::compare(platform::add(file.lastPTS, file.lastDuration), end) >= 0;
    };
    const auto deadline = std::chrono::steady_clock::now() + audioLateness_.endWait();
    while (!(holdsEnd(microphone_) && holdsEnd(systemAudio_))) {
        if (std::chrono::steady_clock::now() >= deadline || error()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void RecordingSession::cleanUp() {
    setEndTime();
    std::shared_ptr<platform::Stream> stream;
    std::vector<std::shared_ptr<platform::CaptureSession>> sessions;
    {
        std::lock_guard guard(stateLock_);
        if (isStreamRecording_) stream = stream_;
        sessions = {microphoneCaptureSession_, lumbraCaptureSession_, webcamCaptureSession_};
    }
    if (stream) {
        try {
            stream->stopCapture();
        } catch (const PlatformError&) {
            // Stopping failed; the files are finished all the same.
        }
    }
    for (auto& session : sessions) {
        if (session && session->isRunning()) session->stopRunning();
    }
    finishAll(false);
    platform::mainQueue()->async([] { WebcamPreviewWindow::hide(); });
}

// ---- Pause, resume and durations

RecordingDurations RecordingSession::captureDurations() {
    auto measure = [](OutputFile& file, bool audio) {
        std::lock_guard guard(file.lock);
        if (audio) return milliseconds(file.sessionStartPTS, file.lastPTS, file.lastDuration);
        // A finished video shows its last frame until the file's end.
        if (file.lastPTS.isValid() && file.endPTS.isValid())
            return milliseconds(file.sessionStartPTS, file.endPTS, MediaTime::zero());
        return milliseconds(file.sessionStartPTS, file.lastPTS, MediaTime::zero());
    };
    return RecordingDurations(measure(main_, false), measure(microphone_, true), measure(systemAudio_, true),
                              measure(webcam_, false));
}

RecordingDurations RecordingSession::pause() {
    setEndTime();
    isPaused_ = true;
    ++segment_;
    finishAll(true);
    // Measured once the files are complete, before the reset forgets their times.
    RecordingDurations durations = captureDurations();
    resetSyncState();
    return durations;
}

void RecordingSession::resume(Target target, const RecordingOptions& options) {
    {
        std::lock_guard guard(stateLock_);
        // A recording that failed is not resumed: no device is restarted and no file made.
        if (error_) throw *error_;
        target_ = target;
        options_ = std::make_shared<const RecordingOptions>(options);
    }
    try {
        initOutput(target, options);
    } catch (...) {
        // A refused resume leaves no file behind, so that the same request can be tried again.
        finishAll(true);
        throw;
    }
    std::future<void> handedOff;
    std::optional<Error> failed;
    {
        std::lock_guard guard(stateLock_);
        failed = error_;
        if (!failed) {
            resumeHandOff_.emplace();
            handedOff = resumeHandOff_->get_future();
            // A new segment number once the segment's options and end are set: a sample
            // whose snapshot was taken while paused (the last segment's end time, perhaps
            // its options) is stale, instead of being written with them.
            ++segment_;
            isPaused_ = false;
            isResuming_ = true;
        }
    }
    if (failed) {
        finishAll(true);
        throw *failed;
    }
    if (handedOff.wait_for(kSegmentStartLimit) != std::future_status::ready) {
        bool waiting = false;
        {
            std::lock_guard guard(stateLock_);
            // Still ours: neither the first frame nor a failure has taken the hand-off.
            if (resumeHandOff_) {
                waiting = true;
                resumeHandOff_.reset();
                isResuming_ = false;
            }
        }
        // The segment started and its first frame is on its way: the resume succeeded.
        if (waiting && sync_.isResolved()) return;
        if (waiting) {
            // A source that never delivers: back to paused, without the files of the segment.
            auto silent = sync_.waitingFor();
            isPaused_ = true;
            ++segment_;
            finishAll(true);
            resetSyncState();
            throw Error::couldNotStartStream(segmentDidNotStart(silent));
        }
    }
    handedOff.get();
}

} // namespace Dovezode
