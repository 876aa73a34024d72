#pragma once
// Records one PulseAudio source (a microphone, or the monitor of the default
// sink for system audio) as float32 interleaved buffers of 10 ms, each stamped
// on the monotonic clock with the capture time of its first frame.

#include "platform/sample_buffer.h"

#include <cstdint>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace platform::linux_backend {

// The monitor of whatever sink is the default one as the capture starts, looked up by its name.
inline constexpr const char* kDefaultSinkMonitor = "@DEFAULT_MONITOR@";

struct PulseCaptureRequest {
    std::string source;  // a source name, or kDefaultSinkMonitor
    // Absent: the source's own rate and channel count.
    std::optional<uint32_t> sampleRate;
    std::optional<uint32_t> channels;
    std::string streamName = "capture";
    // The start waits this long for the source's first audio, and fails without it (a
    // microphone that delivers nothing would otherwise hold the recording back silently).
    std::optional<std::chrono::milliseconds> firstAudioLimit;
    // The stream is never moved to another source (also not when the default sink changes):
    // when this one goes away, the capture fails.
    bool stayOnSource = false;
};

// Why a source cannot be recorded (no server, no such source, refused stream).
class PulseCaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How long a starting microphone may take to deliver its first audio: a source still
// silent after it will not deliver (a device that stopped, a pipe nobody writes to).
inline constexpr std::chrono::milliseconds kFirstMicrophoneAudioLimit{4000};

// How long a stopping capture waits for the audio captured before the stop.
inline constexpr std::chrono::milliseconds kAudioDrainLimit{250};

class PulseCapture {
public:
    using SampleHandler = std::function<void(const SampleBufferRef&)>;
    // Called at most once, when the server or the source goes away during capture.
    using FailureHandler = std::function<void(const std::string& reason)>;

    // Blocks until the source records (and, with firstAudioLimit, until its first audio
    // came); throws PulseCaptureError when it cannot.
    // The handlers run on the capture's own thread.
    static std::unique_ptr<PulseCapture> start(const PulseCaptureRequest& request, SampleHandler onSample,
                                               FailureHandler onFailure);
    // Stops recording; no handler runs once it has returned.
    virtual ~PulseCapture() = default;
    // Goes on delivering until the audio captured up to `monotonicNanoseconds` has been
    // handed out (what the server still held when the stop was asked), or `limit` passes.
    virtual void drainUntil(int64_t monotonicNanoseconds, std::chrono::milliseconds limit) = 0;

    // Whether any audio came from the source yet.
    virtual bool hasDelivered() = 0;

    virtual double sampleRate() const = 0;
    virtual uint32_t channels() const = 0;

    // Frames a buffer holds: 10 ms of the rate.
    static int64_t framesPerBuffer(double sampleRate) { return std::max<int64_t>(1, int64_t(sampleRate) / 100); }
};

// The channel count of a source, or nullopt when it does not exist or no server answers.
std::optional<uint32_t> pulseSourceChannels(const std::string& source);

} // namespace platform::linux_backend
