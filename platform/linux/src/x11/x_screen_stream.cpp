#include "x11/x_screen_stream.h"

#include "common/delivery_gate.h"
#include "common/frame_pixels.h"
#include "common/monotonic_clock.h"
#include "pulse/pulse_capture.h"
#include "x11/x_frame_grabber.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace platform::linux_backend {
namespace {

constexpr int64_t kDefaultFrameNanoseconds = 1'000'000'000 / 60;
// Pictures whose memory is made ready before the stream counts as started: the first
// grab, and the one its consumer converts meanwhile.
constexpr size_t kPreparedPictures = 2;

int64_t frameNanoseconds(const MediaTime& interval) {
    if (!interval.isNumeric() || interval.value <= 0) return kDefaultFrameNanoseconds;
    __int128 nanoseconds = __int128(interval.value) * kNanosecondsTimescale / interval.timescale;
    if (nanoseconds <= 0) return kDefaultFrameNanoseconds;
    return nanoseconds > __int128(INT64_MAX) ? INT64_MAX : int64_t(nanoseconds);
}

// Largest side of a delivered picture, whatever the configuration asks for: as
// large as the writer encodes, and it bounds the memory a stream holds for frames.
constexpr int64_t kLargestPictureSide = 16384;

int32_t outputDimension(const std::optional<int64_t>& configured, int32_t source) {
    if (!configured || *configured <= 0) return source;
    return int32_t(std::min(*configured, kLargestPictureSide));
}

class XScreenStream final : public Stream, public std::enable_shared_from_this<XScreenStream> {
public:
    XScreenStream(ContentFilter filter, StreamConfiguration configuration, std::weak_ptr<StreamDelegate> delegate)
        : filter_(std::move(filter)), configuration_(std::move(configuration)), delegate_(std::move(delegate)) {}

    ~XScreenStream() override { stopCapture(); }

    void addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<Queue> queue) override {
        if (!queue) throw PlatformError(kStreamErrorDomain, kStreamErrorFailedToStart, "A stream output needs a queue.");
        size_t limit = type == StreamOutputType::screen ? size_t(std::max<int32_t>(1, configuration_.queueDepth))
                                                        : kAudioBuffersInFlight;
        // Audio reaches its consumer in capture order; frames may overtake each other.
        auto gate = std::make_shared<DeliveryGate>(limit, /*inOrder=*/type != StreamOutputType::screen);
        std::lock_guard guard(outputsMutex_);
        if (delivering_) gate->open();
        outputs_.push_back({std::move(output), type, std::move(queue), std::move(gate)});
    }

    void startCapture() override {
        std::lock_guard lifecycle(lifecycleMutex_);
        if (capturing_) {
            throw PlatformError(kStreamErrorDomain, kStreamErrorFailedToStart, "The stream is already capturing.");
        }
        FourCharCode format = configuration_.pixelFormat.value_or(pixel_format::bgra);
        if (!isDeliverablePixelFormat(format)) {
            throw PlatformError(kStreamErrorDomain, kStreamErrorFailedToStart,
                                "The screen cannot be captured in the pixel format '" + fourCharCodeString(format) + "'.");
        }
        {
            std::lock_guard guard(stopMutex_);
            stopRequested_ = false;
        }
        toldStop_ = false;
        openGates();
        std::promise<void> ready;
        auto started = ready.get_future();
        grabber_ = std::thread([this, format, ready = std::move(ready)]() mutable { grabLoop(format, ready); });
        try {
            started.get();
            startAudio();
        } catch (...) {
            stopThreads();
            throw;
        }
        capturing_ = true;
    }

    void stopCapture() override {
        std::lock_guard lifecycle(lifecycleMutex_);
        if (!capturing_) return;
        stopThreads();
        capturing_ = false;
    }

private:
    struct Output {
        std::weak_ptr<StreamOutput> output;
        StreamOutputType type;
        std::shared_ptr<Queue> queue;
        std::shared_ptr<DeliveryGate> gate;
    };

    void openGates() {
        std::lock_guard guard(outputsMutex_);
        delivering_ = true;
        for (auto& output : outputs_) output.gate->open();
    }

    // Ends the grabber thread and the audio captures, then waits until no output callback runs.
    void stopThreads() {
        const int64_t stopAt = monotonicNanoseconds();
        {
            std::lock_guard guard(stopMutex_);
            stopRequested_ = true;
        }
        stopWake_.notify_all();
        if (grabber_.joinable()) grabber_.join();
        // The audio the server still holds from before the stop belongs to the recording.
        for (auto* audio : {&systemAudio_, &microphone_}) {
            if (*audio) (*audio)->drainUntil(stopAt, kAudioDrainLimit);
        }
        systemAudio_.reset();
        microphone_.reset();
        std::vector<Output> outputs;
        {
            std::lock_guard guard(outputsMutex_);
            delivering_ = false;
            outputs = outputs_;
        }
        // Nothing is captured any more. What was, and waits on the consumers' queues (the
        // audio just drained above, frames grabbed before the stop), is theirs: closing the
        // gates at once would drop it, cutting the end off the recording.
        const auto deadline = std::chrono::steady_clock::now() + kStopDeliveryLimit;
        for (auto& output : outputs) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            output.gate->waitUntilDelivered(std::max(left, std::chrono::milliseconds(0)));
        }
        for (auto& output : outputs) output.gate->close();
    }

    void startAudio() {
        auto capture = [this](const std::string& source, StreamOutputType type, const char* what) {
            PulseCaptureRequest request;
            request.source = source;
            request.streamName = what;
            if (source == kDefaultSinkMonitor) {
                request.sampleRate = 48000;
                request.channels = 2;
            } else {
                request.firstAudioLimit = kFirstMicrophoneAudioLimit;
            }
            // The stream stays on its source: a microphone that goes away fails the stream, and
            // system audio stays on the monitor it began with.
            request.stayOnSource = true;
            try {
                return PulseCapture::start(
                    request, [this, type](const SampleBufferRef& sample) { deliver(type, sample); },
                    [this, what = std::string(what)](const std::string& reason) {
                        stopWithError(PlatformError(kStreamErrorDomain, kStreamErrorSystemStoppedStream,
                                                    "The " + what + " capture stopped: " + reason + "."));
                    });
            } catch (const PulseCaptureError& error) {
                throw PlatformError(kStreamErrorDomain, kStreamErrorFailedToStartAudioCapture,
                                    "The " + std::string(what) + " cannot be captured: " + error.what() + ".");
            }
        };
        if (configuration_.capturesAudio) systemAudio_ = capture(kDefaultSinkMonitor, StreamOutputType::audio, "system audio");
        if (configuration_.captureMicrophone && configuration_.microphoneCaptureDeviceID) {
            microphone_ = capture(*configuration_.microphoneCaptureDeviceID, StreamOutputType::microphone, "microphone");
        }
    }

    bool screenOutputHasRoom() {
        std::lock_guard guard(outputsMutex_);
        for (const auto& output : outputs_) {
            if (output.type == StreamOutputType::screen && output.gate->inFlight() < size_t(std::max(1, configuration_.queueDepth)))
                return true;
        }
        return false;
    }

    void deliver(StreamOutputType type, const SampleBufferRef& sample) {
        std::vector<Output> matching;
        {
            std::lock_guard guard(outputsMutex_);
            for (const auto& output : outputs_) {
                if (output.type == type) matching.push_back(output);
            }
        }
        for (auto& output : matching) {
            // The gate's close() in stopThreads() keeps `this` valid for every callback that runs.
            output.gate->post(*output.queue, [this, receiver = output.output, sample, type] {
                if (auto alive = receiver.lock()) alive->streamDidOutputSampleBuffer(*this, sample, type);
            });
        }
    }

    void stopWithError(const PlatformError& error) {
        {
            std::lock_guard guard(stopMutex_);
            if (stopRequested_) return;
        }
        if (toldStop_.exchange(true)) return;
        // Told from the global queue: the delegate may stop the stream, which joins this thread.
        globalQueue()->async([self = weak_from_this(), delegate = delegate_, error] {
            auto stream = self.lock();
            auto receiver = delegate.lock();
            if (stream && receiver) receiver->streamDidStopWithError(*stream, error);
        });
    }

    void grabLoop(FourCharCode format, std::promise<void>& ready) {
        std::unique_ptr<XFrameGrabber> grabber;
        const size_t depth = size_t(std::max(1, configuration_.queueDepth));
        try {
            grabber = std::make_unique<XFrameGrabber>(filter_, configuration_.sourceRect, configuration_.showsCursor,
                                                      depth + 2);
        } catch (...) {
            ready.set_exception(std::current_exception());
            return;
        }
        const int32_t width = outputDimension(configuration_.width, grabber->width());
        const int32_t height = outputDimension(configuration_.height, grabber->height());
        FrameRenderer renderer(format, width, height);
        auto renderedPool = std::make_shared<FrameMemoryPool>(
            blocksWithin(kGrabbedPicturesBytes, size_t(width) * kDeliveredBytesPerPixel * size_t(height),
                         std::min(kMinimumGrabbedPictures, depth + 2), depth + 2),
            FrameMemoryPool::heap());
        // Backing the first pictures' memory costs a few milliseconds a picture on a busy
        // machine: paid here, not by the first frames.
        grabber->prepareMemory(kPreparedPictures);
        auto frameFormat = FormatDescription::makeVideo(format, width, height);
        ready.set_value();

        const auto period = std::chrono::nanoseconds(frameNanoseconds(configuration_.minimumFrameInterval));
        auto next = std::chrono::steady_clock::now();
        // Frames are stamped with the time of their slot in the schedule, on the monotonic clock
        // of the other samples: a grab that woke a little late still shows the screen of its
        // slot, and frames stay whole periods apart (players and muxers that take the frame
        // rate from the spacing see the rate asked for).
        const int64_t monotonicOffset =
            monotonicNanoseconds() -
            std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count();
        try {
            while (waitUntil(next)) {
                if (screenOutputHasRoom()) {
                    const int64_t slot =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count() +
                        monotonicOffset;
                    SampleBufferRef frame;
                    if (grabber->changed()) {
                        if (auto picture = grabber->grab()) frame = completeFrame(*picture, renderer, *renderedPool, frameFormat, slot);
                    }
                    if (!frame) frame = idleFrame(frameFormat, slot);
                    deliver(StreamOutputType::screen, frame);
                }
                next += period;
                // Behind by more than a frame (a stall): start afresh instead of grabbing a burst.
                auto late = std::chrono::steady_clock::now();
                if (next + period < late) next = late;
            }
        } catch (const PlatformError& error) {
            stopWithError(error);
        }
    }

    // False once a stop was asked for.
    bool waitUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(stopMutex_);
        return !stopWake_.wait_until(lock, deadline, [&] { return stopRequested_; });
    }

    static SampleBufferRef idleFrame(const std::shared_ptr<const FormatDescription>& format, int64_t now) {
        SampleBuffer::Contents contents;
        contents.format = format;
        contents.frameStatus = FrameStatus::idle;
        contents.timing = {{MediaTime::invalid(), monotonicMediaTime(now), MediaTime::invalid()}};
        return std::make_shared<SampleBuffer>(std::move(contents));
    }

    static SampleBufferRef completeFrame(const GrabbedPicture& picture, FrameRenderer& renderer, FrameMemoryPool& pool,
                                         const std::shared_ptr<const FormatDescription>& format, int64_t now) {
        auto pixels = std::make_shared<PixelBuffer>();
        pixels->pixelFormat = format->mediaSubtype;
        pixels->width = format->dimensions->width;
        pixels->height = format->dimensions->height;
        const size_t rowBytes = size_t(pixels->width) * kDeliveredBytesPerPixel;
        if (renderer.passesThrough(picture.view)) {
            pixels->planes.push_back({picture.view.data, picture.view.bytesPerRow, pixels->width, pixels->height});
            pixels->owner = picture.memory;
            pixels->change = picture.change;
        } else {
            auto memory = pool.acquire(rowBytes * size_t(pixels->height));
            if (!memory) return nullptr;
            renderer.render(picture.view, memory->data, rowBytes);
            pixels->planes.push_back({memory->data, rowBytes, pixels->width, pixels->height});
            pixels->owner = memory;
        }
        SampleBuffer::Contents contents;
        contents.format = format;
        contents.frameStatus = FrameStatus::complete;
        contents.timing = {{MediaTime::invalid(), monotonicMediaTime(now), MediaTime::invalid()}};
        contents.pixels = std::move(pixels);
        return std::make_shared<SampleBuffer>(std::move(contents));
    }

    const ContentFilter filter_;
    const StreamConfiguration configuration_;
    const std::weak_ptr<StreamDelegate> delegate_;

    std::mutex outputsMutex_;  // guards outputs_ and delivering_
    std::vector<Output> outputs_;
    bool delivering_ = false;

    std::mutex lifecycleMutex_;  // serialises start and stop; guards capturing_, grabber_ and the audio captures
    bool capturing_ = false;
    std::thread grabber_;
    std::unique_ptr<PulseCapture> systemAudio_;
    std::unique_ptr<PulseCapture> microphone_;

    std::mutex stopMutex_;  // guards stopRequested_
    std::condition_variable stopWake_;
    bool stopRequested_ = false;
    std::atomic<bool> toldStop_{false};
};

class XScreenStreams final : public StreamService {
public:
    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override {
        return std::make_shared<XScreenStream>(filter, configuration, std::move(delegate));
    }
};

} // namespace

std::shared_ptr<StreamService> makeXScreenStreams() { return std::make_shared<XScreenStreams>(); }

} // namespace platform::linux_backend
