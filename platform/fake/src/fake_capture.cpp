#include "platform/fake/fake_capture.h"

#include "platform/platform.h"
#include "platform/queues.h"

#include <stdexcept>

namespace platform::fake {

// ---- Streams

FakeStream::FakeStream(ContentFilter filter, StreamConfiguration configuration, std::weak_ptr<StreamDelegate> delegate,
                       std::shared_ptr<FailureScript> failures, SampleDelivery& delivery)
    : filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(std::move(delegate)),
      failures_(std::move(failures)),
      delivery_(delivery) {}

void FakeStream::addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                 std::shared_ptr<Queue> queue) {
    failures_->throwIfScripted(FakeOperation::streamAddOutput);
    std::lock_guard guard(mutex_);
    outputs_.push_back({std::move(output), type, std::move(queue)});
}

void FakeStream::startCapture() {
    failures_->throwIfScripted(FakeOperation::streamStartCapture);
    // As on X: an empty source rectangle has nothing to capture.
    if (const auto& source = configuration_.sourceRect; source && (source->size.width < 1 || source->size.height < 1)) {
        throw PlatformError(kStreamErrorDomain, kStreamErrorNoCaptureSource,
                            "The screen cannot be captured: the rectangle to capture is empty.");
    }
    ++starts_;
    capturing_ = true;
    std::function<void(FakeStream&)> hook;
    {
        std::lock_guard guard(mutex_);
        hook = onStartCapture_;
    }
    if (hook) hook(*this);
}

void FakeStream::setOnStartCapture(std::function<void(FakeStream&)> hook) {
    std::lock_guard guard(mutex_);
    onStartCapture_ = std::move(hook);
}

void FakeStream::deliverHere(StreamOutputType type, const SampleBufferRef& sample) {
    delivery_.delivering(sample);
    std::vector<Output> matching;
    {
        std::lock_guard guard(mutex_);
        for (const auto& output : outputs_) {
            if (output.type == type) matching.push_back(output);
        }
    }
    for (const auto& output : matching) {
        if (auto receiver = output.output.lock()) receiver->streamDidOutputSampleBuffer(*this, sample, type);
    }
}

void FakeStream::stopCapture() {
    ++stops_;
    std::function<void()> hook;
    {
        std::lock_guard guard(mutex_);
        hook = stopHook_;
    }
    if (hook) hook();
    failures_->throwIfScripted(FakeOperation::streamStopCapture);
    capturing_ = false;
}

void FakeStream::setStopHook(std::function<void()> hook) {
    std::lock_guard guard(mutex_);
    stopHook_ = std::move(hook);
}

std::vector<StreamOutputType> FakeStream::outputTypes() const {
    std::lock_guard guard(mutex_);
    std::vector<StreamOutputType> types;
    for (const auto& output : outputs_) types.push_back(output.type);
    return types;
}

std::shared_ptr<Queue> FakeStream::queueFor(StreamOutputType type) const {
    std::lock_guard guard(mutex_);
    for (const auto& output : outputs_) {
        if (output.type == type) return output.queue;
    }
    return nullptr;
}

void FakeStream::deliver(StreamOutputType type, SampleBufferRef sample) {
    deliverOn(nullptr, type, std::move(sample));
}

void FakeStream::deliverOn(const std::shared_ptr<Queue>& queue, StreamOutputType type, SampleBufferRef sample) {
    std::vector<Output> matching;
    {
        std::lock_guard guard(mutex_);
        for (const auto& output : outputs_) {
            if (output.type == type) matching.push_back(output);
        }
    }
    for (const auto& output : matching) {
        std::weak_ptr<FakeStream> self = weak_from_this();
        delivery_.push(queue ? queue : output.queue, sample, [self, output, type](const SampleBufferRef& s) {
            auto stream = self.lock();
            auto receiver = output.output.lock();
            if (stream && receiver) receiver->streamDidOutputSampleBuffer(*stream, s, type);
        });
    }
}

void FakeStream::stopWithError(const PlatformError& error) {
    capturing_ = false;
    if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(*this, error);
}

FakeStreams::FakeStreams(std::shared_ptr<FailureScript> failures, SampleDelivery& delivery)
    : failures_(std::move(failures)), delivery_(delivery) {}

std::shared_ptr<Stream> FakeStreams::makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                                std::weak_ptr<StreamDelegate> delegate) {
    auto stream = std::make_shared<FakeStream>(filter, configuration, std::move(delegate), failures_, delivery_);
    std::lock_guard guard(mutex_);
    if (onStartCapture_) stream->setOnStartCapture(onStartCapture_);
    streams_.push_back(stream);
    return stream;
}

void FakeStreams::setOnStartCapture(std::function<void(FakeStream&)> hook) {
    std::lock_guard guard(mutex_);
    onStartCapture_ = std::move(hook);
}

std::vector<std::shared_ptr<FakeStream>> FakeStreams::streams() const {
    std::lock_guard guard(mutex_);
    return streams_;
}

std::shared_ptr<FakeStream> FakeStreams::last() const {
    std::lock_guard guard(mutex_);
    return streams_.empty() ? nullptr : streams_.back();
}

// ---- Capture sessions

void FakeCaptureOutput::setSampleBufferDelegate(std::weak_ptr<CaptureSampleDelegate> delegate,
                                                std::shared_ptr<Queue> queue) {
    std::lock_guard guard(mutex_);
    delegate_ = std::move(delegate);
    queue_ = std::move(queue);
}

std::shared_ptr<Queue> FakeCaptureOutput::queue() const {
    std::lock_guard guard(mutex_);
    return queue_;
}

void FakeCaptureOutput::deliver(SampleBufferRef sample) {
    std::weak_ptr<CaptureSampleDelegate> delegate;
    std::shared_ptr<Queue> queue;
    {
        std::lock_guard guard(mutex_);
        delegate = delegate_;
        queue = queue_;
    }
    if (!queue) throw std::logic_error("the output has no delegate queue");
    delivery_.push(queue, std::move(sample), [this, delegate](const SampleBufferRef& s) {
        if (auto receiver = delegate.lock()) receiver->captureOutputDidOutput(*this, s);
    });
}

void FakeCaptureOutput::deliverHere(const SampleBufferRef& sample) {
    delivery_.delivering(sample);
    std::weak_ptr<CaptureSampleDelegate> delegate;
    {
        std::lock_guard guard(mutex_);
        delegate = delegate_;
    }
    if (auto receiver = delegate.lock()) receiver->captureOutputDidOutput(*this, sample);
}

void FakeMovieFileOutput::startRecording(const std::string& outputPath,
                                         std::shared_ptr<FileOutputRecordingDelegate> delegate) {
    std::lock_guard guard(mutex_);
    outputPath_ = outputPath;
    delegate_ = std::move(delegate);
    askedToRecord_ = true;
    recording_ = true;
}

void FakeMovieFileOutput::stopRecording() {
    ++stops_;
    recording_ = false;
}

std::string FakeMovieFileOutput::outputPath() const {
    std::lock_guard guard(mutex_);
    return outputPath_;
}

bool FakeMovieFileOutput::wasAskedToRecord() const {
    std::lock_guard guard(mutex_);
    return askedToRecord_;
}

bool FakeMovieFileOutput::reportStart() {
    std::shared_ptr<FileOutputRecordingDelegate> delegate;
    std::string path;
    {
        std::lock_guard guard(mutex_);
        if (!askedToRecord_) return false;
        delegate = delegate_;
        path = outputPath_;
    }
    globalQueue()->async([self = shared_from_this(), delegate, path] {
        if (delegate) delegate->fileOutputDidStartRecording(*self, path);
    });
    return true;
}

bool FakeMovieFileOutput::reportFinish(std::optional<PlatformError> error) {
    std::shared_ptr<FileOutputRecordingDelegate> delegate;
    std::string path;
    {
        std::lock_guard guard(mutex_);
        if (!askedToRecord_) return false;
        delegate = std::move(delegate_);
        delegate_.reset();
        path = outputPath_;
    }
    recording_ = false;
    globalQueue()->async([self = shared_from_this(), delegate, path, error = std::move(error)] {
        if (delegate) delegate->fileOutputDidFinishRecording(*self, path, error);
    });
    return true;
}

bool FakeCaptureSession::canAddInput(const std::shared_ptr<CaptureDeviceInput>&) {
    return !failures_->next(FakeOperation::captureSessionAddInput);
}

void FakeCaptureSession::addInput(std::shared_ptr<CaptureDeviceInput> input) {
    std::lock_guard guard(mutex_);
    inputs_.push_back(std::move(input));
}

bool FakeCaptureSession::canAddOutput(const std::shared_ptr<CaptureOutput>&) {
    return !failures_->next(FakeOperation::captureSessionAddOutput);
}

void FakeCaptureSession::addOutput(std::shared_ptr<CaptureOutput> output) {
    if (auto movie = std::dynamic_pointer_cast<FakeMovieFileOutput>(output)) {
        std::lock_guard guard(mutex_);
        movieFileOutputs_.push_back(std::move(movie));
        return;
    }
    auto fake = std::dynamic_pointer_cast<FakeCaptureOutput>(output);
    if (!fake) throw std::logic_error("not an output of the fake backend");
    std::lock_guard guard(mutex_);
    outputs_.push_back(std::move(fake));
}

bool FakeCaptureSession::canSetSessionPreset(const std::string& preset) {
    std::lock_guard guard(mutex_);
    return acceptedPresets_.empty() || acceptedPresets_.count(preset) > 0;
}

void FakeCaptureSession::setSessionPreset(const std::string& preset) {
    std::lock_guard guard(mutex_);
    preset_ = preset;
}

void FakeCaptureSession::beginConfiguration() {
    std::lock_guard guard(mutex_);
    ++openConfigurations_;
}

void FakeCaptureSession::commitConfiguration() {
    std::lock_guard guard(mutex_);
    --openConfigurations_;
}

void FakeCaptureSession::startRunning() {
    ++starts_;
    if (running_) return;
    auto failure = failures_->next(FakeOperation::captureSessionStartRunning);
    std::lock_guard guard(mutex_);
    if (!failure && inputs_.empty()) {
        failure = PlatformError(kCaptureErrorDomain, kCaptureErrorUnknown, "The capture session has no device to capture.");
    }
    startError_ = failure;
    running_ = !failure;
}

void FakeCaptureSession::stopRunning() { running_ = false; }

std::optional<PlatformError> FakeCaptureSession::startError() const {
    std::lock_guard guard(mutex_);
    return startError_;
}

void FakeCaptureSession::setRuntimeErrorHandler(RuntimeErrorHandler handler) {
    std::lock_guard guard(mutex_);
    runtimeErrorHandler_ = std::move(handler);
}

void FakeCaptureSession::loseDevice(const PlatformError& error) {
    RuntimeErrorHandler handler;
    {
        std::lock_guard guard(mutex_);
        if (!running_.exchange(false)) return;
        handler = runtimeErrorHandler_;
    }
    if (handler) handler(error);
}

void FakeCaptureSession::acceptOnlyPresets(std::set<std::string> presets) {
    std::lock_guard guard(mutex_);
    acceptedPresets_ = std::move(presets);
}

std::vector<std::shared_ptr<CaptureDeviceInput>> FakeCaptureSession::inputs() const {
    std::lock_guard guard(mutex_);
    return inputs_;
}

std::vector<std::shared_ptr<FakeCaptureOutput>> FakeCaptureSession::outputs() const {
    std::lock_guard guard(mutex_);
    return outputs_;
}

std::vector<std::shared_ptr<FakeMovieFileOutput>> FakeCaptureSession::movieFileOutputs() const {
    std::lock_guard guard(mutex_);
    return movieFileOutputs_;
}

std::string FakeCaptureSession::sessionPreset() const {
    std::lock_guard guard(mutex_);
    return preset_;
}

int FakeCaptureSession::openConfigurations() const {
    std::lock_guard guard(mutex_);
    return openConfigurations_;
}

FakeCaptureSessions::FakeCaptureSessions(std::shared_ptr<FailureScript> failures, SampleDelivery& delivery)
    : failures_(std::move(failures)), delivery_(delivery) {}

std::shared_ptr<CaptureSession> FakeCaptureSessions::makeSession() {
    auto session = std::make_shared<FakeCaptureSession>(failures_);
    std::lock_guard guard(mutex_);
    sessions_.push_back(session);
    return session;
}

std::shared_ptr<CaptureDeviceInput> FakeCaptureSessions::makeDeviceInput(const CaptureDevice& device) {
    failures_->throwIfScripted(FakeOperation::captureSessionsMakeDeviceInput);
    return std::make_shared<FakeDeviceInput>(device);
}

std::shared_ptr<CaptureOutput> FakeCaptureSessions::makeAudioDataOutput() {
    return std::make_shared<FakeCaptureOutput>(CaptureOutput::Kind::audioData, delivery_);
}

std::shared_ptr<CaptureOutput> FakeCaptureSessions::makeVideoDataOutput() {
    return std::make_shared<FakeCaptureOutput>(CaptureOutput::Kind::videoData, delivery_);
}

std::shared_ptr<MovieFileOutput> FakeCaptureSessions::makeMovieFileOutput() {
    auto output = std::make_shared<FakeMovieFileOutput>();
    std::lock_guard guard(mutex_);
    movieFileOutputs_.push_back(output);
    return output;
}

std::vector<std::shared_ptr<FakeMovieFileOutput>> FakeCaptureSessions::movieFileOutputs() const {
    std::lock_guard guard(mutex_);
    return movieFileOutputs_;
}

std::shared_ptr<FakeMovieFileOutput> FakeCaptureSessions::lastMovieFileOutput() const {
    std::lock_guard guard(mutex_);
    return movieFileOutputs_.empty() ? nullptr : movieFileOutputs_.back();
}

std::vector<std::shared_ptr<FakeCaptureSession>> FakeCaptureSessions::sessions() const {
    std::lock_guard guard(mutex_);
    return sessions_;
}

std::shared_ptr<FakeCaptureSession> FakeCaptureSessions::sessionFor(const std::string& uniqueID) const {
    for (auto& session : sessions()) {
        for (auto& input : session->inputs()) {
            if (input->device().uniqueID == uniqueID) return session;
        }
    }
    return nullptr;
}

// ---- Power management

namespace {

class FakeToken final : public ActivityToken {
public:
    explicit FakeToken(std::shared_ptr<std::atomic<int>> active) : active_(std::move(active)) { ++*active_; }
    ~FakeToken() override { --*active_; }

private:
    std::shared_ptr<std::atomic<int>> active_;
};

} // namespace

std::shared_ptr<ActivityToken> FakePowerManagement::beginActivity(uint64_t options, const std::string& reason) {
    ++begun_;
    lastOptions_ = options;
    {
        std::lock_guard guard(mutex_);
        lastReason_ = reason;
    }
    return std::make_shared<FakeToken>(active_);
}

std::string FakePowerManagement::lastReason() const {
    std::lock_guard guard(mutex_);
    return lastReason_;
}

// ---- Installation

void installFakeCapture(Platform& platform, std::shared_ptr<FailureScript> failures, SampleDelivery& delivery) {
    platform.streams = std::make_shared<FakeStreams>(failures, delivery);
    platform.captureSessions = std::make_shared<FakeCaptureSessions>(failures, delivery);
    platform.powerManagement = std::make_shared<FakePowerManagement>();
}

FakeStreams& fakeStreams(Platform& platform) { return dynamic_cast<FakeStreams&>(*platform.streams); }

FakeCaptureSessions& fakeCaptureSessions(Platform& platform) {
    return dynamic_cast<FakeCaptureSessions&>(*platform.captureSessions);
}

FakePowerManagement& fakePower(Platform& platform) {
    return dynamic_cast<FakePowerManagement&>(*platform.powerManagement);
}

} // namespace platform::fake
