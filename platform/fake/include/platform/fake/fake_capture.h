#pragma once
// Scripted screen streams, capture sessions and power management. Streams and
// sessions record what they were asked; tests deliver samples to their outputs
// on the outputs' queues (through SampleDelivery, so a test can wait for them)
// and make a stream stop with an error.
//
// Scripted operations (FailureScript): streamAddOutput, streamStartCapture,
// streamStopCapture, captureSessionsMakeDeviceInput throw the scripted error;
// captureSessionAddInput, captureSessionAddOutput make the session refuse
// (canAdd... is false); captureSessionStartRunning makes startRunning return with
// the session not running, as a session that failed to start does.

#include "platform/activity.h"
#include "platform/capture_session.h"
#include "platform/fake/failure_script.h"
#include "platform/fake/sample_delivery.h"
#include "platform/platform.h"
#include "platform/screen_stream.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform::fake {

class FakeStream final : public Stream, public std::enable_shared_from_this<FakeStream> {
public:
    FakeStream(ContentFilter filter, StreamConfiguration configuration, std::weak_ptr<StreamDelegate> delegate,
               std::shared_ptr<FailureScript> failures, SampleDelivery& delivery);

    void addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<Queue> queue) override;
    void startCapture() override;
    void stopCapture() override;

    const ContentFilter& filter() const { return filter_; }
    const StreamConfiguration& configuration() const { return configuration_; }
    std::vector<StreamOutputType> outputTypes() const;
    // The queue the output of this type was added with; null when there is none.
    std::shared_ptr<Queue> queueFor(StreamOutputType type) const;
    bool isCapturing() const { return capturing_; }
    int startCount() const { return starts_; }
    int stopCount() const { return stops_; }

    // Delivers the sample to every output of the type, on its queue.
    void deliver(StreamOutputType type, SampleBufferRef sample);
    // Delivers on an explicit queue instead, as a concurrent stream may.
    void deliverOn(const std::shared_ptr<Queue>& queue, StreamOutputType type, SampleBufferRef sample);
    // Delivers the sample to every output of the type at once, on the calling thread.
    void deliverHere(StreamOutputType type, const SampleBufferRef& sample);
    // Reports to the delegate that the stream stopped with this error, on the calling thread.
    void stopWithError(const PlatformError& error);
    // Runs inside stopCapture, before it returns: lets a test hold a stop while it acts.
    void setStopHook(std::function<void()> hook);
    // Runs on the thread that starts capture, once capture runs, before startCapture returns.
    void setOnStartCapture(std::function<void(FakeStream&)> hook);

private:
    struct Output {
        std::weak_ptr<StreamOutput> output;
        StreamOutputType type;
        std::shared_ptr<Queue> queue;
    };

    ContentFilter filter_;
    StreamConfiguration configuration_;
    std::weak_ptr<StreamDelegate> delegate_;
    std::shared_ptr<FailureScript> failures_;
    SampleDelivery& delivery_;
    mutable std::mutex mutex_;  // guards outputs_, stopHook_ and onStartCapture_
    std::vector<Output> outputs_;
    std::function<void()> stopHook_;  // guarded by mutex_
    std::function<void(FakeStream&)> onStartCapture_;  // guarded by mutex_
    std::atomic<bool> capturing_{false};
    std::atomic<int> starts_{0};
    std::atomic<int> stops_{0};
};

class FakeStreams final : public StreamService {
public:
    FakeStreams(std::shared_ptr<FailureScript> failures, SampleDelivery& delivery);
    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override;
    // The streams made so far, oldest first.
    std::vector<std::shared_ptr<FakeStream>> streams() const;
    std::shared_ptr<FakeStream> last() const;
    // Given to every stream made from now on (FakeStream::setOnStartCapture).
    void setOnStartCapture(std::function<void(FakeStream&)> hook);

private:
    std::shared_ptr<FailureScript> failures_;
    SampleDelivery& delivery_;
    mutable std::mutex mutex_;  // guards streams_ and onStartCapture_
    std::vector<std::shared_ptr<FakeStream>> streams_;
    std::function<void(FakeStream&)> onStartCapture_;
};

class FakeDeviceInput final : public CaptureDeviceInput {
public:
    explicit FakeDeviceInput(CaptureDevice device) : device_(std::move(device)) {}
    const CaptureDevice& device() const override { return device_; }

private:
    CaptureDevice device_;
};

class FakeCaptureOutput final : public CaptureOutput {
public:
    FakeCaptureOutput(Kind kind, SampleDelivery& delivery) : kind_(kind), delivery_(delivery) {}
    Kind kind() const override { return kind_; }
    void setSampleBufferDelegate(std::weak_ptr<CaptureSampleDelegate> delegate, std::shared_ptr<Queue> queue) override;
    std::shared_ptr<Queue> queue() const;
    // Delivers the sample to the delegate on the output's queue.
    void deliver(SampleBufferRef sample);
    // Delivers the sample to the delegate at once, on the calling thread.
    void deliverHere(const SampleBufferRef& sample);

private:
    Kind kind_;
    SampleDelivery& delivery_;
    mutable std::mutex mutex_;  // guards delegate_ and queue_
    std::weak_ptr<CaptureSampleDelegate> delegate_;
    std::shared_ptr<Queue> queue_;
};

// A movie file that records when told to. The platform's reports of the file's
// start and finish come only when the test asks for them (reportStart,
// reportFinish), on the global queue as a real output reports on a thread of its own.
class FakeMovieFileOutput final : public MovieFileOutput, public std::enable_shared_from_this<FakeMovieFileOutput> {
public:
    void startRecording(const std::string& outputPath, std::shared_ptr<FileOutputRecordingDelegate> delegate) override;
    void stopRecording() override;
    bool isRecording() const override { return recording_; }

    // The path given to startRecording; empty before.
    std::string outputPath() const;
    bool wasAskedToRecord() const;
    int stopCount() const { return stops_; }
    // Reports the file's start to the delegate. False when the file was never asked to record.
    bool reportStart();
    // Reports the file's finish (with the error, if any) and drops the delegate;
    // the output no longer records. False when the file was never asked to record.
    bool reportFinish(std::optional<PlatformError> error);

private:
    mutable std::mutex mutex_;  // guards outputPath_, delegate_ and askedToRecord_
    std::string outputPath_;
    std::shared_ptr<FileOutputRecordingDelegate> delegate_;
    bool askedToRecord_ = false;
    std::atomic<bool> recording_{false};
    std::atomic<int> stops_{0};
};

class FakeCaptureSession final : public CaptureSession {
public:
    explicit FakeCaptureSession(std::shared_ptr<FailureScript> failures) : failures_(std::move(failures)) {}

    bool canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) override;
    void addInput(std::shared_ptr<CaptureDeviceInput> input) override;
    bool canAddOutput(const std::shared_ptr<CaptureOutput>& output) override;
    void addOutput(std::shared_ptr<CaptureOutput> output) override;
    bool canSetSessionPreset(const std::string& preset) override;
    void setSessionPreset(const std::string& preset) override;
    void beginConfiguration() override;
    void commitConfiguration() override;
    void startRunning() override;
    void stopRunning() override;
    bool isRunning() const override { return running_; }
    std::optional<PlatformError> startError() const override;
    void setRuntimeErrorHandler(RuntimeErrorHandler handler) override;

    // ---- Sessions that fail: FakeOperation::captureSessionStartRunning scripted in the
    // failure script makes startRunning fail (not running, startError() set), as a device that
    // cannot start does on Linux. A session without an input never starts either.
    // The running session's device goes away: the session stops running and its runtime
    // error handler is told, on the calling thread.
    void loseDevice(const PlatformError& error);

    // Presets the session accepts; every preset when empty.
    void acceptOnlyPresets(std::set<std::string> presets);
    std::vector<std::shared_ptr<CaptureDeviceInput>> inputs() const;
    std::vector<std::shared_ptr<FakeCaptureOutput>> outputs() const;
    std::vector<std::shared_ptr<FakeMovieFileOutput>> movieFileOutputs() const;
    std::string sessionPreset() const;
    // Configurations begun and not yet committed.
    int openConfigurations() const;
    int startCount() const { return starts_; }

private:
    std::shared_ptr<FailureScript> failures_;
    mutable std::mutex mutex_;  // guards every field below
    std::vector<std::shared_ptr<CaptureDeviceInput>> inputs_;
    std::vector<std::shared_ptr<FakeCaptureOutput>> outputs_;
    std::vector<std::shared_ptr<FakeMovieFileOutput>> movieFileOutputs_;
    std::set<std::string> acceptedPresets_;
    std::string preset_ = "high";
    int openConfigurations_ = 0;
    std::optional<PlatformError> startError_;
    RuntimeErrorHandler runtimeErrorHandler_;
    std::atomic<bool> running_{false};
    std::atomic<int> starts_{0};
};

class FakeCaptureSessions final : public CaptureSessionService {
public:
    FakeCaptureSessions(std::shared_ptr<FailureScript> failures, SampleDelivery& delivery);
    std::shared_ptr<CaptureSession> makeSession() override;
    std::shared_ptr<CaptureDeviceInput> makeDeviceInput(const CaptureDevice& device) override;
    std::shared_ptr<CaptureOutput> makeAudioDataOutput() override;
    std::shared_ptr<CaptureOutput> makeVideoDataOutput() override;
    std::shared_ptr<MovieFileOutput> makeMovieFileOutput() override;

    std::vector<std::shared_ptr<FakeCaptureSession>> sessions() const;
    // The movie-file outputs made so far, oldest first, and the last one (null when none).
    std::vector<std::shared_ptr<FakeMovieFileOutput>> movieFileOutputs() const;
    std::shared_ptr<FakeMovieFileOutput> lastMovieFileOutput() const;
    // The session whose input is the device with this unique ID; null when none.
    std::shared_ptr<FakeCaptureSession> sessionFor(const std::string& uniqueID) const;

private:
    std::shared_ptr<FailureScript> failures_;
    SampleDelivery& delivery_;
    mutable std::mutex mutex_;  // guards sessions_
    std::vector<std::shared_ptr<FakeCaptureSession>> sessions_;
    std::vector<std::shared_ptr<FakeMovieFileOutput>> movieFileOutputs_;  // guarded by mutex_
};

class FakePowerManagement final : public PowerManagement {
public:
    std::shared_ptr<ActivityToken> beginActivity(uint64_t options, const std::string& reason) override;
    // Activities begun and not yet ended.
    int activeCount() const { return *active_; }
    int begunCount() const { return begun_; }
    uint64_t lastOptions() const { return lastOptions_; }
    std::string lastReason() const;

private:
    std::shared_ptr<std::atomic<int>> active_ = std::make_shared<std::atomic<int>>(0);
    std::atomic<int> begun_{0};
    std::atomic<uint64_t> lastOptions_{0};
    mutable std::mutex mutex_;  // guards lastReason_
    std::string lastReason_;
};

// Fills the platform's stream, capture-session and power services with fakes.
void installFakeCapture(Platform& platform, std::shared_ptr<FailureScript> failures, SampleDelivery& delivery);
FakeStreams& fakeStreams(Platform& platform);
FakeCaptureSessions& fakeCaptureSessions(Platform& platform);
FakePowerManagement& fakePower(Platform& platform);

} // namespace platform::fake
