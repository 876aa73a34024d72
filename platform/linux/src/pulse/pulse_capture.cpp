#include "pulse/pulse_capture.h"

#include "common/capture_timeline.h"
#include "common/monotonic_clock.h"
#include "pulse/pulse_logging.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <unistd.h>
#include <thread>
#include <vector>

namespace platform::linux_backend {
namespace {

constexpr size_t kBytesPerSample = sizeof(float);
constexpr pa_usec_t kMostPlausibleLatency = 10'000'000;
// How long a stream may take to get ready when no first-audio limit is asked for.
constexpr std::chrono::milliseconds kStreamReadyLimit{10'000};
// What a source holds beyond what the stream has waiting: a sound card's period or two.
constexpr pa_usec_t kMostSourceLatency = 50'000;

// libpulse tells a refused connection when it could not even make its socket: the
// real cause, when the process is out of file descriptors.
std::optional<std::string> descriptorShortage() {
    // A pipe takes two: what a main loop needs to be made, more than a socket needs.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        close(fds[0]);
        close(fds[1]);
        return std::nullopt;
    }
    if (errno != EMFILE && errno != ENFILE) return std::nullopt;
    return std::string(std::strerror(errno));
}

// A threaded main loop with one connected context. Every pa_* call on the
// context or its streams is made with the loop locked (Lock), as the library asks.
class PulseConnection {
public:
    explicit PulseConnection(const std::string& clientName) {
        keepLibpulseOffStandardError();
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) {
            auto shortage = descriptorShortage();
            throw PulseCaptureError("cannot create a PulseAudio main loop" + (shortage ? ": " + *shortage : std::string()));
        }
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), clientName.c_str());
        if (!context_) {
            pa_threaded_mainloop_free(loop_);
            throw PulseCaptureError("cannot create a PulseAudio context");
        }
        pa_context_set_state_callback(context_, &PulseConnection::onContextState, this);
        if (pa_threaded_mainloop_start(loop_) < 0) {
            pa_context_unref(context_);
            pa_threaded_mainloop_free(loop_);
            throw PulseCaptureError("cannot start the PulseAudio main loop");
        }
        Lock lock(*this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            failure_ = pa_strerror(pa_context_errno(context_));
        } else {
            while (true) {
                auto state = pa_context_get_state(context_);
                if (state == PA_CONTEXT_READY) break;
                if (!PA_CONTEXT_IS_GOOD(state)) {
                    failure_ = pa_strerror(pa_context_errno(context_));
                    break;
                }
                wait();
            }
        }
        if (!failure_.empty()) {
            // Looked at before the loop's own descriptors are given back.
            const auto shortage = descriptorShortage();
            lock.unlock();
            shutDown();
            if (shortage) throw PulseCaptureError("cannot reach the PulseAudio server: " + *shortage);
            throw PulseCaptureError("no PulseAudio server: " + failure_);
        }
    }

    ~PulseConnection() { shutDown(); }
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    class Lock {
    public:
        explicit Lock(PulseConnection& connection) : loop_(connection.loop_) { pa_threaded_mainloop_lock(loop_); }
        ~Lock() { unlock(); }
        void unlock() {
            if (loop_) pa_threaded_mainloop_unlock(loop_);
            loop_ = nullptr;
        }

    private:
        pa_threaded_mainloop* loop_;
    };

    pa_context* context() const { return context_; }
    pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }
    // With the loop locked: sleeps until a callback signals.
    void wait() { pa_threaded_mainloop_wait(loop_); }
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }

    // With the loop locked: runs the operation until it is done.
    void await(pa_operation* operation) {
        if (!operation) return;
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) wait();
        pa_operation_unref(operation);
    }

    // Stops the loop thread; no callback runs once it returns. Not from a callback.
    void shutDown() {
        if (!loop_) return;
        {
            Lock lock(*this);
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
        }
        pa_threaded_mainloop_stop(loop_);
        pa_context_unref(context_);
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        context_ = nullptr;
    }

    // Set by the owner: told once when the context fails after connecting.
    std::function<void(const std::string&)> onLost;

private:
    static void onContextState(pa_context* context, void* userdata) {
        auto* self = static_cast<PulseConnection*>(userdata);
        auto state = pa_context_get_state(context);
        if (!PA_CONTEXT_IS_GOOD(state) && self->onLost) self->onLost(pa_strerror(pa_context_errno(context)));
        self->signal();
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::string failure_;
};

struct SourceLookup {
    PulseConnection* connection = nullptr;
    bool found = false;
    pa_sample_spec spec{};
};

void onSourceInfo(pa_context*, const pa_source_info* info, int endOfList, void* userdata) {
    auto* lookup = static_cast<SourceLookup*>(userdata);
    if (endOfList == 0 && info) {
        lookup->found = true;
        lookup->spec = info->sample_spec;
    }
    if (endOfList != 0) lookup->connection->signal();
}

struct MonitorLookup {
    PulseConnection* connection = nullptr;
    bool done = false;
    std::string defaultSink;
    std::string monitor;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* lookup = static_cast<MonitorLookup*>(userdata);
    if (info && info->default_sink_name) lookup->defaultSink = info->default_sink_name;
    lookup->done = true;
    lookup->connection->signal();
}

void onSinkInfo(pa_context*, const pa_sink_info* info, int endOfList, void* userdata) {
    auto* lookup = static_cast<MonitorLookup*>(userdata);
    if (endOfList == 0 && info && info->monitor_source_name) lookup->monitor = info->monitor_source_name;
    if (endOfList != 0) lookup->connection->signal();
}

// With the loop locked: the name of the default sink's monitor source, or empty when
// there is no default sink. Looked up by name rather than asked for as
// "@DEFAULT_MONITOR@", which some servers (PipeWire's) resolve to the default source,
// the microphone.
std::string lookUpDefaultSinkMonitor(PulseConnection& connection) {
    MonitorLookup lookup;
    lookup.connection = &connection;
    connection.await(pa_context_get_server_info(connection.context(), onServerInfo, &lookup));
    if (lookup.defaultSink.empty()) return {};
    connection.await(
        pa_context_get_sink_info_by_name(connection.context(), lookup.defaultSink.c_str(), onSinkInfo, &lookup));
    return lookup.monitor;
}

// With the loop locked.
SourceLookup lookUpSource(PulseConnection& connection, const std::string& source) {
    SourceLookup lookup;
    lookup.connection = &connection;
    connection.await(pa_context_get_source_info_by_name(connection.context(), source.c_str(), onSourceInfo, &lookup));
    return lookup;
}

// A wait with the loop locked that a timer of the loop ends.
struct ReadyWait {
    PulseConnection* connection;
    bool timedOut = false;
    static void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* self = static_cast<ReadyWait*>(userdata);
        self->timedOut = true;
        self->connection->signal();
    }
};

class PulseRecording final : public PulseCapture {
public:
    PulseRecording(const PulseCaptureRequest& request, SampleHandler onSample, FailureHandler onFailure)
        : connection_("kalvesta-recorder " + request.streamName),
          onSample_(std::move(onSample)),
          onFailure_(std::move(onFailure)) {
        PulseConnection::Lock lock(connection_);
        connection_.onLost = [this](const std::string& reason) { fail("the sound server went away: " + reason); };
        spec_.format = PA_SAMPLE_FLOAT32LE;
        spec_.rate = request.sampleRate.value_or(48000);
        spec_.channels = uint8_t(request.channels.value_or(2));
        std::string source = request.source;
        if (source == kDefaultSinkMonitor) {
            source = lookUpDefaultSinkMonitor(connection_);
            if (source.empty()) {
                lock.unlock();
                throw PulseCaptureError("the sound server has no default sink whose sound could be recorded");
            }
        }
        if (!request.sampleRate || !request.channels) {
            auto lookup = lookUpSource(connection_, source);
            if (!lookup.found) {
                lock.unlock();
                throw PulseCaptureError("the PulseAudio source \"" + source + "\" does not exist");
            }
            if (!request.sampleRate) spec_.rate = lookup.spec.rate;
            if (!request.channels) spec_.channels = lookup.spec.channels;
        }
        if (!pa_sample_spec_valid(&spec_)) {
            lock.unlock();
            throw PulseCaptureError("the PulseAudio source \"" + source + "\" has no usable sample format");
        }
        timeline_.emplace(double(spec_.rate));
        format_ = FormatDescription::makeAudio(AudioStreamDescription::float32Interleaved(spec_.rate, spec_.channels));
        bufferFrames_ = framesPerBuffer(spec_.rate);
        pending_.reserve(size_t(bufferFrames_) * frameBytes() * 2);

        stream_ = pa_stream_new(connection_.context(), request.streamName.c_str(), &spec_, nullptr);
        if (!stream_) {
            std::string reason = pa_strerror(pa_context_errno(connection_.context()));
            lock.unlock();
            throw PulseCaptureError("cannot make a PulseAudio record stream: " + reason);
        }
        pa_stream_set_state_callback(stream_, &PulseRecording::onStreamState, this);
        pa_stream_set_read_callback(stream_, &PulseRecording::onReadable, this);
        pa_stream_set_overflow_callback(stream_, &PulseRecording::onOverflow, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = uint32_t(-1);
        attributes.fragsize = uint32_t(pa_usec_to_bytes(10'000, &spec_));
        auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_AUTO_TIMING_UPDATE);
        // Without this the server moves the stream to another source when the chosen one goes
        // away (or, for a monitor, when another sink becomes the default).
        if (request.stayOnSource) flags = pa_stream_flags_t(flags | PA_STREAM_DONT_MOVE);
        std::string failure;
        startedAt_ = monotonicNanoseconds();
        if (pa_stream_connect_record(stream_, source.c_str(), &attributes, flags) < 0) {
            failure = pa_strerror(pa_context_errno(connection_.context()));
        } else {
            // A source may never get ready (PipeWire's pipe source with nobody writing to it):
            // the start gives up after the time a silent source is allowed.
            const auto limit = request.firstAudioLimit.value_or(kStreamReadyLimit);
            ReadyWait ready{&connection_};
            pa_time_event* timer =
                pa_context_rttime_new(connection_.context(), pa_rtclock_now() + pa_usec_t(limit.count()) * 1000,
                                      &ReadyWait::onTimeout, &ready);
            while (true) {
                auto state = pa_stream_get_state(stream_);
                if (state == PA_STREAM_READY) break;
                if (!PA_STREAM_IS_GOOD(state)) {
                    failure = pa_strerror(pa_context_errno(connection_.context()));
                    break;
                }
                if (ready.timedOut) {
                    failure = "it did not start within " + std::to_string(limit.count() / 1000) + " seconds";
                    break;
                }
                connection_.wait();
            }
            if (timer) connection_.api()->time_free(timer);
        }
        if (!failure.empty()) {
            closeStream();
            lock.unlock();
            throw PulseCaptureError("cannot record the PulseAudio source \"" + source + "\": " + failure);
        }
        running_ = true;
    }

    ~PulseRecording() override {
        {
            PulseConnection::Lock lock(connection_);
            running_ = false;
            connection_.onLost = nullptr;
            closeStream();
        }
        connection_.shutDown();
    }

    void drainUntil(int64_t monotonicNanoseconds, std::chrono::milliseconds limit) override {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                PulseConnection::Lock lock(connection_);
                if (!running_ || failed_) return;
                if (framesRead_ > 0 && timeline_->estimate(framesRead_) >= monotonicNanoseconds) return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool hasDelivered() override {
        PulseConnection::Lock lock(connection_);
        return observed_;
    }

    double sampleRate() const override { return spec_.rate; }
    uint32_t channels() const override { return spec_.channels; }

private:
    size_t frameBytes() const { return kBytesPerSample * spec_.channels; }

    // With the loop locked.
    void closeStream() {
        if (!stream_) return;
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_overflow_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }

    void fail(const std::string& reason) {
        if (!running_ || failed_) return;
        failed_ = true;
        if (onFailure_) onFailure_(reason);
    }

    static void onStreamState(pa_stream* stream, void* userdata) {
        auto* self = static_cast<PulseRecording*>(userdata);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) self->fail("the source stopped recording");
        self->connection_.signal();
    }

    static void onReadable(pa_stream* stream, size_t, void* userdata) {
        static_cast<PulseRecording*>(userdata)->readAll(stream);
    }

    // The server lost audio it had no room for: the capture times move on by what was lost.
    static void onOverflow(pa_stream*, void* userdata) { static_cast<PulseRecording*>(userdata)->timeline_->lostFrames(); }

    // Reads what the server holds and hands it out at once, in order, every frame of it.
    void readAll(pa_stream* stream) {
        while (pa_stream_readable_size(stream) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
            noteCaptureTime(stream);
            if (data) {
                const auto* begin = static_cast<const uint8_t*>(data);
                pending_.insert(pending_.end(), begin, begin + bytes);
            } else {
                pending_.resize(pending_.size() + bytes, 0);  // a hole: silence keeps the timeline whole
            }
            pa_stream_drop(stream);
        }
        // Everything read so far was captured by now.
        const int64_t pendingFrames = int64_t(pending_.size() / frameBytes());
        timeline_->notAfter(framesRead_ + pendingFrames, monotonicNanoseconds());
        emitFullBuffers();
    }

    // The oldest unread frame, the first of the fragment just peeked, was captured
    // `latency` ago. Before the server's first timing report, or for a report
    // beyond reason, only the first reading counts, as old as the data waiting
    // proves (a source may hand over a burst at once).
    void noteCaptureTime(pa_stream* stream) {
        const pa_usec_t waiting = pa_bytes_to_usec(pa_stream_readable_size(stream), &spec_);
        const int64_t firstFrame = framesRead_ + int64_t(pending_.size() / frameBytes());
        pa_usec_t latency = 0;
        int negative = 0;
        bool reported = pa_stream_get_latency(stream, &latency, &negative) == 0 && !negative &&
                        latency <= kMostPlausibleLatency;
        if (!reported) {
            if (observed_) return;
            latency = waiting;
        }
        observed_ = true;
        // A report may tell far more than the source holds: a monitor reports the latency
        // of its sink, which renders ahead (and drops what it rendered ahead when its latency
        // changes), though what it hands over is fresh. What is waiting is old for sure; a
        // source holds at most kMostSourceLatency more.
        latency = std::clamp(latency, waiting, waiting + kMostSourceLatency);
        timeline_->observe(firstFrame, monotonicNanoseconds() - int64_t(latency) * 1000);
    }

    void emitFullBuffers() {
        const size_t bufferBytes = size_t(bufferFrames_) * frameBytes();
        size_t offset = 0;
        while (pending_.size() - offset >= bufferBytes) {
            auto data = std::make_shared<std::vector<uint8_t>>(pending_.begin() + long(offset),
                                                               pending_.begin() + long(offset + bufferBytes));
            SampleBuffer::Contents contents;
            contents.format = format_;
            contents.sampleCount = bufferFrames_;
            contents.timing = {{MediaTime::make(1, int32_t(spec_.rate)), monotonicMediaTime(timeline_->timeOf(framesRead_)),
                                MediaTime::invalid()}};
            contents.audioData = std::move(data);
            const int64_t end = timeline_->estimate(framesRead_ + bufferFrames_);
            framesRead_ += bufferFrames_;
            offset += bufferBytes;
            // Audio the source held from before the start (some sources hand over a backlog) is not wanted.
            if (end <= startedAt_) continue;
            timeline_->settle();
            if (onSample_) onSample_(std::make_shared<SampleBuffer>(std::move(contents)));
        }
        pending_.erase(pending_.begin(), pending_.begin() + long(offset));
    }

    PulseConnection connection_;
    SampleHandler onSample_;
    FailureHandler onFailure_;
    // The fields below are used with the loop locked (its callbacks run so).
    pa_sample_spec spec_{};
    pa_stream* stream_ = nullptr;
    std::shared_ptr<const FormatDescription> format_;
    std::optional<CaptureTimeline> timeline_;
    int64_t bufferFrames_ = 480;
    std::vector<uint8_t> pending_;  // read and not yet handed out
    int64_t framesRead_ = 0;        // frames handed out so far
    bool running_ = false;
    bool failed_ = false;
    bool observed_ = false;  // the timeline has had its first reading
    int64_t startedAt_ = 0;  // when recording began, monotonic nanoseconds
};

} // namespace

std::unique_ptr<PulseCapture> PulseCapture::start(const PulseCaptureRequest& request, SampleHandler onSample,
                                                  FailureHandler onFailure) {
    auto capture = std::make_unique<PulseRecording>(request, std::move(onSample), std::move(onFailure));
    if (!request.firstAudioLimit) return capture;
    // Polled: the first audio is noticed on the capture's own thread, which tells no one.
    const auto deadline = std::chrono::steady_clock::now() + *request.firstAudioLimit;
    while (!capture->hasDelivered()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw PulseCaptureError("nothing came from the PulseAudio source \"" + request.source + "\" within " +
                                    std::to_string(request.firstAudioLimit->count() / 1000) + " seconds");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return capture;
}

std::optional<uint32_t> pulseSourceChannels(const std::string& source) {
    try {
        PulseConnection connection("kalvesta-recorder source check");
        PulseConnection::Lock lock(connection);
        auto lookup = lookUpSource(connection, source);
        if (!lookup.found) return std::nullopt;
        return lookup.spec.channels;
    } catch (const PulseCaptureError&) {
        return std::nullopt;
    }
}

} // namespace platform::linux_backend
