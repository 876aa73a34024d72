#include "platform/linux/linux_capture_sessions.h"

#include "common/delivery_gate.h"
#include "common/monotonic_clock.h"
#include "pulse/pulse_capture.h"
#include "v4l2/v4l2_capture.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace platform::linux_backend {
namespace {

// Frames that may wait for a video consumer: late frames are dropped, as a camera preview wants.
constexpr size_t kVideoFramesInFlight = 2;

class DeviceInput final : public CaptureDeviceInput {
public:
    // A microphone (a PulseAudio source, opened when the session runs).
    explicit DeviceInput(CaptureDevice device) : device_(std::move(device)) {}
    // A camera whose node is open on `fd`.
    DeviceInput(CaptureDevice device, std::shared_ptr<V4l2System> system, int fd)
        : device_(std::move(device)), system_(std::move(system)), fd_(fd) {}
    ~DeviceInput() override {
        if (fd_ >= 0) system_->close(fd_);
    }

    const CaptureDevice& device() const override { return device_; }
    bool isCamera() const { return fd_ >= 0; }
    const std::shared_ptr<V4l2System>& system() const { return system_; }
    int fd() const { return fd_; }

private:
    CaptureDevice device_;
    std::shared_ptr<V4l2System> system_;
    int fd_ = -1;
};

class DataOutput final : public CaptureOutput, public std::enable_shared_from_this<DataOutput> {
public:
    explicit DataOutput(Kind kind)
        : kind_(kind),
          gate_(std::make_shared<DeliveryGate>(kind == Kind::videoData ? kVideoFramesInFlight : kAudioBuffersInFlight)) {}

    Kind kind() const override { return kind_; }

    void setSampleBufferDelegate(std::weak_ptr<CaptureSampleDelegate> delegate, std::shared_ptr<Queue> queue) override {
        std::lock_guard guard(mutex_);
        delegate_ = std::move(delegate);
        queue_ = std::move(queue);
    }

    void deliver(const SampleBufferRef& sample) {
        std::weak_ptr<CaptureSampleDelegate> delegate;
        std::shared_ptr<Queue> queue;
        {
            std::lock_guard guard(mutex_);
            delegate = delegate_;
            queue = queue_;
        }
        if (!queue) return;
        // The gate's close() at stop keeps `this` valid for every callback that runs.
        gate_->post(*queue, [this, delegate, sample] {
            if (auto receiver = delegate.lock()) receiver->captureOutputDidOutput(*this, sample);
        });
    }

    void open() { gate_->open(); }
    void close() { gate_->close(); }
    bool waitUntilDelivered(std::chrono::milliseconds limit) { return gate_->waitUntilDelivered(limit); }

    ~DataOutput() override { gate_->close(); }

private:
    const Kind kind_;
    std::shared_ptr<DeliveryGate> gate_;
    std::mutex mutex_;  // guards delegate_ and queue_
    std::weak_ptr<CaptureSampleDelegate> delegate_;
    std::shared_ptr<Queue> queue_;
};

std::optional<VideoDimensions> presetSize(const std::string& preset) {
    if (preset == session_preset::hd1280x720) return VideoDimensions{1280, 720};
    if (preset == session_preset::hd1920x1080) return VideoDimensions{1920, 1080};
    if (preset == session_preset::uhd3840x2160) return VideoDimensions{3840, 2160};
    return std::nullopt;  // high: the camera's largest
}

class UnusedMovieFileOutput final : public MovieFileOutput {
public:
    void startRecording(const std::string&, std::shared_ptr<FileOutputRecordingDelegate>) override {
        throw std::logic_error("a movie-file output records only as part of a session");
    }
    void stopRecording() override {}
    bool isRecording() const override { return false; }
};

class Session final : public CaptureSession {
public:
    ~Session() override { stopRunning(); }

    bool canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) override {
        auto ours = std::dynamic_pointer_cast<DeviceInput>(input);
        std::lock_guard guard(lifecycleMutex_);
        return ours && !input_;  // one device a session
    }

    void addInput(std::shared_ptr<CaptureDeviceInput> input) override {
        if (!canAddInput(input)) throw std::logic_error("the session does not take this input");
        std::lock_guard guard(lifecycleMutex_);
        input_ = std::dynamic_pointer_cast<DeviceInput>(input);
    }

    bool canAddOutput(const std::shared_ptr<CaptureOutput>& output) override {
        auto ours = std::dynamic_pointer_cast<DataOutput>(output);
        std::lock_guard guard(outputsMutex_);
        return ours && std::find(outputs_.begin(), outputs_.end(), ours) == outputs_.end();
    }

    void addOutput(std::shared_ptr<CaptureOutput> output) override {
        if (!canAddOutput(output)) throw std::logic_error("the session does not take this output");
        auto ours = std::dynamic_pointer_cast<DataOutput>(output);
        std::lock_guard guard(outputsMutex_);
        if (running_) ours->open();
        outputs_.push_back(std::move(ours));
    }

    bool canSetSessionPreset(const std::string& preset) override {
        return preset == session_preset::high || presetSize(preset).has_value();
    }

    void setSessionPreset(const std::string& preset) override {
        std::lock_guard guard(lifecycleMutex_);
        preset_ = preset;
    }

    void beginConfiguration() override {}
    void commitConfiguration() override {}

    // A device that cannot start leaves the session not running; the caller sees
    // isRunning() false and startError() telling why.
    void startRunning() override {
        std::lock_guard lifecycle(lifecycleMutex_);
        if (isRunning()) return;
        if (!input_) {
            setStartError(PlatformError(kCaptureErrorDomain, kCaptureErrorUnknown,
                                        "The capture session has no device to capture."));
            return;
        }
        setOutputsOpen(true);
        const uint64_t run = ++runs_;
        try {
            if (input_->isCamera()) {
                camera_ = V4l2Capture::start(
                    input_->system(), input_->fd(), presetSize(preset_),
                    [this](const SampleBufferRef& frame) { deliver(Kind::videoData, frame); },
                    [this, run](const std::string& reason) { lost(run, reason); });
            } else {
                PulseCaptureRequest request;
                request.source = input_->device().uniqueID;
                request.streamName = "microphone";
                // The stream stays on the chosen microphone: when it goes away the capture fails
                // instead of recording another source.
                request.stayOnSource = true;
                request.firstAudioLimit = kFirstMicrophoneAudioLimit;
                microphone_ = PulseCapture::start(
                    request, [this](const SampleBufferRef& buffer) { deliver(Kind::audioData, buffer); },
                    [this, run](const std::string& reason) { lost(run, reason); });
            }
        } catch (const std::exception& error) {
            setOutputsOpen(false);
            setStartError(PlatformError(kCaptureErrorDomain, kCaptureErrorUnknown,
                                        "The " + what() + " cannot be captured: " + error.what() + "."));
            return;
        }
        std::string device = what();
        std::lock_guard guard(outputsMutex_);
        startError_.reset();
        lostDeviceName_ = std::move(device);
        running_ = true;
    }

    void stopRunning() override { stop(true); }
    void stopRunningAtOnce() override { stop(false); }

    bool isRunning() const override {
        std::lock_guard guard(outputsMutex_);
        return running_;
    }

    std::optional<PlatformError> startError() const override {
        std::lock_guard guard(outputsMutex_);
        return startError_;
    }

    void setRuntimeErrorHandler(RuntimeErrorHandler handler) override {
        std::lock_guard guard(outputsMutex_);
        runtimeErrorHandler_ = std::move(handler);
    }

private:
    using Kind = CaptureOutput::Kind;

    // With `keepTail`, what was captured before the stop is still delivered.
    void stop(bool keepTail) {
        const int64_t stopAt = monotonicNanoseconds();
        std::lock_guard lifecycle(lifecycleMutex_);
        ++runs_;  // a loss reported from now on belongs to no run
        camera_.reset();
        // The audio the server still holds from before the stop belongs to the recording.
        if (microphone_ && keepTail) microphone_->drainUntil(stopAt, kAudioDrainLimit);
        microphone_.reset();
        if (!keepTail) {
            setOutputsOpen(false);
            return;
        }
        // What was captured before the stop and waits on the delegate's queue is the
        // delegate's: closing the outputs at once would drop it, cutting the end off.
        const auto deadline = std::chrono::steady_clock::now() + kStopDeliveryLimit;
        for (auto& output : outputs()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            output->waitUntilDelivered(std::max(left, std::chrono::milliseconds(0)));
        }
        setOutputsOpen(false);
    }

    std::vector<std::shared_ptr<DataOutput>> outputs() {
        std::lock_guard guard(outputsMutex_);
        return outputs_;
    }

    void setOutputsOpen(bool open) {
        for (auto& output : outputs()) {
            if (open) output->open();
            else output->close();
        }
        if (!open) {
            std::lock_guard guard(outputsMutex_);
            running_ = false;
        }
    }

    void setStartError(std::optional<PlatformError> error) {
        std::lock_guard guard(outputsMutex_);
        startError_ = std::move(error);
    }

    // Needs lifecycleMutex_ (or a set input).
    std::string what() const {
        const CaptureDevice& device = input_->device();
        return std::string(input_->isCamera() ? "camera" : "microphone") + " \"" + device.localizedName + "\" (" +
               device.uniqueID + ")";
    }

    // On the capture's own thread: the device of run `run` went away. The session stops
    // counting as running at once; the handler is told from the global queue, since it
    // may stop the session, which waits for this thread.
    void lost(uint64_t run, const std::string& reason) {
        RuntimeErrorHandler handler;
        std::string device;
        {
            std::lock_guard guard(outputsMutex_);
            if (run != runs_ || !running_) return;
            running_ = false;
            handler = runtimeErrorHandler_;
            device = lostDeviceName_;
        }
        if (!handler) return;
        PlatformError error(kCaptureErrorDomain, kCaptureErrorDeviceNotConnected,
                            "The " + device + " stopped delivering: " + reason + ".");
        globalQueue()->async([handler, error] { handler(error); });
    }

    void deliver(Kind kind, const SampleBufferRef& sample) {
        for (auto& output : outputs()) {
            if (output->kind() == kind) output->deliver(sample);
        }
    }

    // Taken by start and stop, which wait for the capture threads; never by those threads.
    std::mutex lifecycleMutex_;  // guards input_, preset_, camera_, microphone_
    std::shared_ptr<DeviceInput> input_;
    std::string preset_ = session_preset::high;
    std::unique_ptr<V4l2Capture> camera_;
    std::unique_ptr<PulseCapture> microphone_;

    mutable std::mutex outputsMutex_;  // guards the fields below; taken by the capture threads
    std::vector<std::shared_ptr<DataOutput>> outputs_;
    bool running_ = false;
    std::optional<PlatformError> startError_;
    RuntimeErrorHandler runtimeErrorHandler_;
    // Counts starts and stops: a loss told by the capture of an earlier run is not this run's.
    std::atomic<uint64_t> runs_{0};
    std::string lostDeviceName_;  // what() of the running device, for the loss message
};

class LinuxCaptureSessions final : public CaptureSessionService {
public:
    explicit LinuxCaptureSessions(std::shared_ptr<V4l2System> cameras) : cameras_(std::move(cameras)) {}

    std::shared_ptr<CaptureSession> makeSession() override { return std::make_shared<Session>(); }

    std::shared_ptr<CaptureDeviceInput> makeDeviceInput(const CaptureDevice& device) override {
        if (device.hasMediaType(MediaType::muxed)) {
            // usbmuxd lets us list and query attached iPhones and iPads, but Linux has
            // no service that streams their screen: there is nothing to open.
            throw PlatformError(kCaptureErrorDomain, kCaptureErrorDeviceNotAvailable,
                                "There is no route to capture the screen of an iOS device on Linux.");
        }
        if (device.hasMediaType(MediaType::video)) return openCamera(device);
        if (device.hasMediaType(MediaType::audio)) {
            if (!pulseSourceChannels(device.uniqueID)) {
                throw PlatformError(kCaptureErrorDomain, kCaptureErrorDeviceNotConnected,
                                    "The microphone \"" + device.uniqueID + "\" cannot be opened: no such PulseAudio source.");
            }
            return std::make_shared<DeviceInput>(device);
        }
        throw PlatformError(kCaptureErrorDomain, kCaptureErrorDeviceNotConnected,
                            "The device \"" + device.uniqueID + "\" is neither a microphone nor a camera.");
    }

    std::shared_ptr<CaptureOutput> makeAudioDataOutput() override {
        return std::make_shared<DataOutput>(CaptureOutput::Kind::audioData);
    }

    std::shared_ptr<CaptureOutput> makeVideoDataOutput() override {
        return std::make_shared<DataOutput>(CaptureOutput::Kind::videoData);
    }

    // No session here takes a movie-file output (canAddOutput refuses it): only
    // muxed devices record to movie files, and they cannot be opened on Linux.
    std::shared_ptr<MovieFileOutput> makeMovieFileOutput() override { return std::make_shared<UnusedMovieFileOutput>(); }

private:
    std::shared_ptr<CaptureDeviceInput> openCamera(const CaptureDevice& device) {
        auto node = v4l2CameraNode(*cameras_, device.uniqueID);
        if (!node) {
            throw PlatformError(kCaptureErrorDomain, kCaptureErrorDeviceNotConnected,
                                "The camera \"" + device.uniqueID + "\" is not connected.");
        }
        int fd = cameras_->open(*node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            throw PlatformError(kCaptureErrorDomain, kCaptureErrorUnknown,
                                "The camera \"" + device.uniqueID + "\" cannot be opened (" + *node + ": " +
                                    std::strerror(errno) + ").");
        }
        return std::make_shared<DeviceInput>(device, cameras_, fd);
    }

    std::shared_ptr<V4l2System> cameras_;
};

} // namespace

std::shared_ptr<CaptureSessionService> makeLinuxCaptureSessions(std::shared_ptr<V4l2System> cameras) {
    return std::make_shared<LinuxCaptureSessions>(std::move(cameras));
}

} // namespace platform::linux_backend
