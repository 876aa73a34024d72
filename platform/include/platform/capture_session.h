#pragma once
// Capture sessions: a device input feeding audio or video data outputs, which
// deliver sample buffers to their delegate on a serial queue.

#include "platform/capture_devices.h"
#include "platform/error.h"
#include "platform/queues.h"
#include "platform/sample_buffer.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

// The error domain of capture devices and sessions, with the codes the backends raise.
inline constexpr const char* kCaptureErrorDomain = "AVFoundationErrorDomain";
enum CaptureErrorCode : int64_t {
    // The device could not be opened or set up for capture.
    kCaptureErrorUnknown = -11800,
    // The device is not (or no longer) attached.
    kCaptureErrorDeviceNotConnected = -11814,
    // The device exists but cannot be captured from on this system.
    kCaptureErrorDeviceNotAvailable = -11815,
};

class CaptureDeviceInput {
public:
    virtual ~CaptureDeviceInput() = default;
    virtual const CaptureDevice& device() const = 0;
};

class CaptureOutput;

// Receives the samples of a data output on the output's queue.
class CaptureSampleDelegate {
public:
    virtual ~CaptureSampleDelegate() = default;
    virtual void captureOutputDidOutput(CaptureOutput& output, const SampleBufferRef& sample) = 0;
};

class CaptureOutput {
public:
    enum class Kind { audioData, videoData, movieFile };
    virtual ~CaptureOutput() = default;
    virtual Kind kind() const = 0;
    // The delegate is held weakly; samples go to it on `queue`, one at a time.
    virtual void setSampleBufferDelegate(std::weak_ptr<CaptureSampleDelegate> delegate,
                                         std::shared_ptr<Queue> queue) = 0;
};

class MovieFileOutput;

// Told when a movie file has started and when it has finished, on a thread of
// the platform's choosing (never inside the call that started or stopped it).
class FileOutputRecordingDelegate {
public:
    virtual ~FileOutputRecordingDelegate() = default;
    virtual void fileOutputDidStartRecording(MovieFileOutput& output, const std::string& outputPath) = 0;
    // `error` is set when the recording failed, whether or not a file was written.
    virtual void fileOutputDidFinishRecording(MovieFileOutput& output, const std::string& outputPath,
                                              const std::optional<PlatformError>& error) = 0;
};

// Records what the session's input captures into one movie file at a time.
class MovieFileOutput : public CaptureOutput {
public:
    Kind kind() const override { return Kind::movieFile; }
    // A movie-file output delivers no samples.
    void setSampleBufferDelegate(std::weak_ptr<CaptureSampleDelegate>, std::shared_ptr<Queue>) override {}
    // Starts writing to the file-system path; the delegate (held until the finish
    // is reported; may be null) hears of the file's start and finish.
    virtual void startRecording(const std::string& outputPath, std::shared_ptr<FileOutputRecordingDelegate> delegate) = 0;
    // Asks the file to finish; the delegate hears of it later.
    virtual void stopRecording() = 0;
    // True from startRecording until the file was asked to stop or has finished.
    virtual bool isRecording() const = 0;
};

namespace session_preset {
inline constexpr const char* high = "high";
inline constexpr const char* hd1280x720 = "1280x720";
inline constexpr const char* hd1920x1080 = "1920x1080";
inline constexpr const char* uhd3840x2160 = "3840x2160";
} // namespace session_preset

class CaptureSession {
public:
    virtual ~CaptureSession() = default;
    virtual bool canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) = 0;
    virtual void addInput(std::shared_ptr<CaptureDeviceInput> input) = 0;
    virtual bool canAddOutput(const std::shared_ptr<CaptureOutput>& output) = 0;
    virtual void addOutput(std::shared_ptr<CaptureOutput> output) = 0;
    virtual bool canSetSessionPreset(const std::string& preset) = 0;
    virtual void setSessionPreset(const std::string& preset) = 0;
    virtual void beginConfiguration() = 0;
    virtual void commitConfiguration() = 0;
    // Blocks the caller until the session runs, or has failed to start: then
    // isRunning() stays false and startError() tells why.
    virtual void startRunning() = 0;
    // Stops the session; what the device captured before the stop still reaches the outputs.
    virtual void stopRunning() = 0;
    // Stops the session at once, dropping what the device still holds from before the
    // stop: for a consumer that shows the live sound (a level meter), to which the
    // captured tail is of no use.
    virtual void stopRunningAtOnce() { stopRunning(); }
    virtual bool isRunning() const = 0;
    // Why the last startRunning failed; none once a start succeeded.
    virtual std::optional<PlatformError> startError() const = 0;

    using RuntimeErrorHandler = std::function<void(const PlatformError&)>;
    // Told at most once per start, when the running session stops by itself (its
    // device went away or failed): the session is then no longer running. Runs on a
    // thread of the backend's choosing, never inside startRunning or stopRunning,
    // and never after stopRunning has returned. The error names the device.
    virtual void setRuntimeErrorHandler(RuntimeErrorHandler handler) = 0;
};

class CaptureSessionService {
public:
    virtual ~CaptureSessionService() = default;
    virtual std::shared_ptr<CaptureSession> makeSession() = 0;
    // Opens the device; throws PlatformError when it cannot be opened.
    virtual std::shared_ptr<CaptureDeviceInput> makeDeviceInput(const CaptureDevice& device) = 0;
    virtual std::shared_ptr<CaptureOutput> makeAudioDataOutput() = 0;
    virtual std::shared_ptr<CaptureOutput> makeVideoDataOutput() = 0;
    virtual std::shared_ptr<MovieFileOutput> makeMovieFileOutput() = 0;
};

} // namespace platform
