#pragma once
// One recording from its start to its stop: the screen stream, the writers of
// the main, system-audio, microphone and webcam files, the capture sessions,
// the first-timestamp synchronisation of each segment, pause and resume by
// file segments, and the clean-up.
//
// Its stages live in one source file each: RecordingSession.cpp (start, pause,
// resume, stop and failure), SessionStreamSetup.cpp (the screen stream),
// SessionOutputSetup.cpp (writers and capture sessions of a segment) and
// SessionSampleRouting.cpp (samples to their files).
//
// Threads: start, pause, resume and cleanUp run on the caller's thread, one at a
// time. Samples arrive at the same time on the stream's concurrent queue and on
// the capture sessions' serial queues. Each output file is guarded by its own
// lock (OutputFile); the synchronisation by its own (SegmentSync); the remaining
// shared fields by `stateLock_`.

#include "Dovezode/Activity.h"
#include "Dovezode/AudioLateness.h"
#include "Dovezode/Error.h"
#include "Dovezode/OutputFile.h"
#include "Dovezode/RecordingDurations.h"
#include "Dovezode/RecordingOptions.h"
#include "Dovezode/SegmentSync.h"
#include "Dovezode/Target.h"

#include "platform/asset_writer.h"
#include "platform/capture_session.h"
#include "platform/platform.h"
#include "platform/screen_stream.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Dovezode {

class RecordingSession final : public platform::StreamOutput,
                               public platform::StreamDelegate,
                               public platform::CaptureSampleDelegate,
                               public std::enable_shared_from_this<RecordingSession> {
public:
    using ErrorCallback = std::function<void(const Error&)>;
    using ResolvedCallback = SegmentSync::ResolvedCallback;

    // Records with the given platform, which must outlive the session.
    static std::shared_ptr<RecordingSession> make(platform::Platform& platform);
    ~RecordingSession() override;

    void setOnError(ErrorCallback callback);
    // Called at each resolution of a segment's synchronisation, under its lock
    // (see SegmentSync): it must be short and must not call into the session.
    void setOnSyncResolved(ResolvedCallback callback);
    void setResumed();
    bool isResumed() const { return isResumed_; }
    bool isPaused() const { return isPaused_; }
    std::optional<Error> error() const;

    // Sets up the stream and the outputs and starts capture. Throws Error.
    void start(Target target, const RecordingOptions& options);
    RecordingDurations captureDurations();
    // Ends the segment's files at this moment on the capture clock: what was captured
    // later is not written, what was captured before and is still on its way is; the
    // video shows its last picture until this moment. A segment still waiting for its
    // sources starts now (its start is reported first), and its video begins with the
    // picture on screen, waited for briefly when none has arrived yet. Returns once the
    // audio captured up to that moment has reached its files (or stopped coming).
    void markEnd();
    // Stops capture and finishes the open files. Never throws.
    void cleanUp();
    // Finishes the segment's files while capture goes on; gives their durations,
    // measured once they are complete.
    RecordingDurations pause();
    // Opens the files of a new segment and returns at its first screen frame.
    // Throws what the output set-up throws (Error, or platform::PlatformError),
    // the recorded error of a failed recording, or couldNotStartStream when the
    // segment has not started within a few seconds. A refused resume stays paused
    // and leaves none of its files behind.
    void resume(Target target, const RecordingOptions& options);

    // Sample delivery.
    void streamDidOutputSampleBuffer(platform::Stream& stream, const platform::SampleBufferRef& sample,
                                     platform::StreamOutputType type) override;
    void streamDidStopWithError(platform::Stream& stream, const platform::PlatformError& error) override;
    void captureOutputDidOutput(platform::CaptureOutput& output, const platform::SampleBufferRef& sample) override;

    // Test access to the synchronisation.
    SegmentSync& synchronisation() { return sync_; }

private:
    explicit RecordingSession(platform::Platform& platform) : platform_(platform) {}

    // What a sample handler reads once, when the sample arrives.
    struct Snapshot {
        std::optional<Target> target;
        std::shared_ptr<const RecordingOptions> options;
        uint64_t segment = 0;
        // Where the files end: samples from then on are not written. Invalid until the clean-up.
        platform::MediaTime endAt = platform::MediaTime::invalid();
    };
    Snapshot snapshot() const;
    // A sample that arrived before the current segment (or during a pause) is not written,
    // however long it took to reach its file's lock.
    bool isStale(const Snapshot& state) const { return isPaused_ || segment_ != state.segment; }

    // What the stream shows and how large its pictures are.
    struct CapturePlan {
        // Absent for a device target, which has no stream.
        std::optional<platform::ContentFilter> filter;
        std::optional<platform::Rect> sourceRect;
        std::optional<int64_t> width;
        std::optional<int64_t> height;
    };
    // One output of a capture session: its kind, the label of its delivery queue, the
    // name its refusal gives, and the member that tells its samples apart (none when
    // they are told apart by elimination).
    struct CaptureOutputPlan {
        platform::CaptureOutput::Kind kind;
        const char* queueLabel;
        const char* refusal;
        std::shared_ptr<platform::CaptureOutput> RecordingSession::*routedAs = nullptr;
    };
    // One capture session of a recording: the member that keeps it across a pause, the
    // name a refused device input gives, and its outputs in the order they are added.
    struct CaptureSessionPlan {
        std::shared_ptr<platform::CaptureSession> RecordingSession::*session;
        const char* inputRefusal;
        std::vector<CaptureOutputPlan> outputs;
        // Configured as one change (a camera), with this preset where it can take it.
        bool configuresAsOne = false;
        const char* preset = nullptr;
    };

    // Stream set-up.
    platform::StreamConfiguration makeConfiguration(Target target, const RecordingOptions& options) const;
    CapturePlan planCapture(Target target, const RecordingOptions& options,
                            const platform::ShareableContent& content) const;
    // Makes the stream (none for a device) and adds its outputs. Throws Error.
    void setUpStream(Target target, const RecordingOptions& options);

    // Output set-up.
    void initOutput(Target target, const RecordingOptions& options);
    void setUpSystemAudio(const RecordingOptions& options);
    void setUpMicrophone(Target target, const RecordingOptions& options);
    void setUpLumbraDevice(const RecordingOptions& options);
    void setUpWebcam(Target target, const RecordingOptions& options);
    // Makes the plan's capture session for the device, unless the recording has one
    // already (a resume): gives the new session, or null. Throws what a refused input
    // or output throws, leaving no session behind.
    std::shared_ptr<platform::CaptureSession> setUpCaptureSession(const platform::CaptureDevice& device,
                                                                  const CaptureSessionPlan& plan);
    void startCaptureSessions();
    // Hands the main file's writer the video settings of the planned pictures (a screen
    // or window stream whose size is planned), before the first picture arrives.
    void hintMainVideo(platform::AssetWriter& writer, Target target, const RecordingOptions& options);
    // An audio writer for an .m4a file with one real-time input, kept in `file`.
    void makeAudioFile(OutputFile& file, const std::filesystem::path& destination,
                       const platform::AudioSettings& settings, const char* inputName);
    // Needs file.lock. Reports, once, a writer that failed while writing.
    void reportWriterFailure(OutputFile& file);
    void resetSyncState();

    // Ends the recording on its first failure, told once through onError; a later one
    // (another file on the same full disk, a second source of a lost sound server) is a
    // consequence of it and is not told. `failedAt`, when valid, is where the failed file
    // ends on the capture clock: the other files end there too.
    void recordError(const Error& error, platform::MediaTime failedAt = platform::MediaTime::invalid());
    void finishAll(bool dropWriters);
    // The end time of the segment's files, now on the capture clock, unless one is set.
    void setEndTime();
    // Waits, for as long as the audio has been late so far, until each audio file that is
    // written holds the sound up to the segment's end (a source that delivers in blocks
    // hands over the one covering the end only some time after it).
    void waitForAudioUpToEnd();

    // The newest complete screen frame, kept for the start of a segment's video.
    void keepPicture(const platform::SampleBufferRef& frame);
    platform::SampleBufferRef latestPicture() const;
    // Needs main_.lock. Starts the main video writer with the latest picture shown from the
    // segment's start; false when there is no picture yet or the writer does not start.
    bool openMainVideo(const Snapshot& state);
    // Needs main_.lock. Appends the picture again at `time` when the file has had no frame
    // for nearly a key-frame interval (a still screen), so the file keeps its key frames.
    void repeatStillPicture(const platform::MediaTime& time, const Snapshot& state);

    void handleAudio(OutputFile& file, const platform::SampleBufferRef& sample, std::optional<SyncPipeline> pipeline,
                     const Snapshot& state);
    void handleScreen(const platform::SampleBufferRef& sample, const Snapshot& state);
    void handleWebcam(const platform::SampleBufferRef& sample, const Snapshot& state);
    void handleLumbraVideo(const platform::SampleBufferRef& sample, const Snapshot& state);
    void handOffResume();
    platform::MediaTime sessionStartFor(const platform::SampleBuffer& sample) const;
    void startVideoStream(const platform::SampleBufferRef& sample, const Snapshot& state);
    void startWebcamStream(const platform::SampleBufferRef& sample, const Snapshot& state);
    void startAudioStream(const platform::SampleBufferRef& sample, const Snapshot& state);

    platform::Platform& platform_;

    // Files of the segment.
    OutputFile main_;
    OutputFile systemAudio_;
    OutputFile microphone_;
    OutputFile webcam_;

    SegmentSync sync_;
    AudioLateness audioLateness_;
    std::atomic<bool> isPaused_{false};
    // Counts the pauses and resumes: a sample whose snapshot holds another value is stale.
    std::atomic<uint64_t> segment_{0};
    std::atomic<bool> isResuming_{false};
    std::atomic<bool> isResumed_{false};

    // Guards every field below.
    mutable std::mutex stateLock_;
    std::optional<Target> target_;
    std::shared_ptr<const RecordingOptions> options_;
    std::optional<Error> error_;
    ErrorCallback onError_;
    std::optional<std::promise<void>> resumeHandOff_;
    std::shared_ptr<platform::Stream> stream_;
    // The size and pixel format of the stream's pictures as planned at its set-up,
    // when the stream records a screen or a window and its size is known.
    struct PlannedPictures {
        platform::VideoDimensions size;
        platform::FourCharCode pixelFormat = 0;
    };
    std::optional<PlannedPictures> plannedPictures_;
    bool isStreamRecording_ = false;
    // The sources the stream was started with besides the screen.
    bool streamCapturesAudio_ = false;
    bool streamCapturesMicrophone_ = false;
    std::shared_ptr<platform::CaptureSession> microphoneCaptureSession_;
    std::shared_ptr<platform::CaptureSession> lumbraCaptureSession_;
    std::shared_ptr<platform::CaptureSession> webcamCaptureSession_;
    std::shared_ptr<platform::CaptureOutput> microphoneDataOutput_;
    std::shared_ptr<platform::CaptureOutput> lumbraDataOutput_;
    std::shared_ptr<platform::CaptureOutput> webcamVideoDataOutput_;
    std::unique_ptr<Activity> activity_;
    platform::MediaTime endAt_ = platform::MediaTime::invalid();

    // Guards latestPicture_; pictureArrived_ is told when it changes.
    mutable std::mutex pictureLock_;
    std::condition_variable pictureArrived_;
    platform::SampleBufferRef latestPicture_;
};

} // namespace Dovezode
