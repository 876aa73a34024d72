#pragma once
// A recorder over a fresh fake platform: two displays, a few windows, a
// microphone, a camera and an attachable phone; the callbacks it reports are
// collected for the test; samples are made and delivered by short helpers.

#include "eventually.h"
#include "fake_platform_fixture.h"
#include "main_queue_thread.h"

#include "Dovezode/Error.h"
#include "Dovezode/Recorder.h"
#include "Dovezode/RecordingDurations.h"
#include "Dovezode/RecordingOptions.h"
#include "Dovezode/Target.h"

#include "platform/fake/fake_asset_writer.h"
#include "platform/fake/fake_capture.h"
#include "platform/fake/fake_content.h"
#include "platform/fake/fake_devices.h"
#include "platform/fake/sample_factory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {
// Media times in failure messages: value/timescale.
inline void PrintTo(const MediaTime& time, std::ostream* out) { *out << time.value << "/" << time.timescale; }
} // namespace platform

namespace engine_test {

using Dovezode::Error;
using Dovezode::RecordingDurations;
using Dovezode::Target;
using Dovezode::VideoCodec;
using platform::FrameStatus;
using platform::MediaTime;
using platform::StreamOutputType;

inline constexpr const char* kMicrophone = "mic-1";
inline constexpr const char* kCamera = "cam-1";
inline constexpr const char* kPhone = "phone-1";

// A media time in milliseconds.
inline MediaTime ms(int64_t value) { return MediaTime::make(value, 1000); }

using Dovezode::RecordingOptions;

// What the recordings of these tests show and where they go, unless a test says otherwise.
inline constexpr const char* kDisplay = "1";
inline constexpr const char* kMainFile = "main.mp4";

// A recording of display 1 into "main.mp4", every other option at its default.
inline RecordingOptions displayRecording() { return {.destination = kMainFile, .targetID = kDisplay}; }

// The callbacks of one recorder, as they arrived.
struct Events {
    mutable std::mutex mutex;  // guards every field below
    std::vector<int64_t> starts;
    std::vector<int64_t> resumes;
    std::vector<RecordingDurations> pauses;
    std::vector<RecordingDurations> finishes;
    std::vector<Error> errors;

    size_t count(const std::vector<int64_t> Events::*field) const;
    std::vector<Error> errorList() const;
};

using test_support::eventually;

class EngineTest : public test_support::FakePlatformTest {
public:
    // Public, so that the arrangements in case tables can reach the fakes.
    using test_support::FakePlatformTest::fake;

    void SetUp() override;
    void TearDown() override;

    platform::fake::FakeStreams& streams() { return platform::fake::fakeStreams(*fake().platform()); }
    platform::fake::FakeCaptureSessions& sessions() { return platform::fake::fakeCaptureSessions(*fake().platform()); }
    platform::fake::FakePowerManagement& power() { return platform::fake::fakePower(*fake().platform()); }
    platform::fake::FakeShareableContent& content() { return platform::fake::fakeContent(*fake().platform()); }
    platform::fake::FakeScreens& screens() { return platform::fake::fakeScreens(*fake().platform()); }
    platform::fake::FakeCaptureDevices& devices() { return platform::fake::fakeDevices(*fake().platform()); }
    platform::fake::FakeAssetWriters& writers();
    platform::Capabilities& capabilities() { return fake().capabilities(); }

    // The recorder under test, with every callback collected in events().
    Dovezode::Recorder& recorder() { return *recorder_; }
    Events& events() { return *events_; }

    void start(Target target, const RecordingOptions& options) { recorder_->start(target, options); }
    void resume(Target target, const RecordingOptions& options) { recorder_->resume(target, options); }
    // The error a call throws, or none.
    static std::optional<Error> failureOf(const std::function<void()>& call);

    std::shared_ptr<platform::fake::FakeStream> stream() { return streams().last(); }
    std::shared_ptr<platform::fake::FakeCaptureOutput> outputOf(const std::string& deviceID, size_t index = 0);
    std::shared_ptr<platform::fake::FakeAssetWriter> writer(const std::string& path) { return writers().writer(path); }
    // The single input of the writer for the path; null when it has none.
    std::shared_ptr<platform::fake::FakeAssetWriterInput> inputOf(const std::string& path);
    // Presentation times appended to the writer for the path, in order.
    std::vector<MediaTime> appendedTo(const std::string& path);

    // Deliveries, each waited for: a 64×48 screen frame, 10 ms of audio, a 32×24 webcam frame.
    void screenFrame(int64_t atMs, std::optional<FrameStatus> status = FrameStatus::complete);
    void streamAudio(StreamOutputType type, int64_t atMs, int64_t frames = 480);
    void captureAudio(const std::string& deviceID, int64_t atMs, int64_t frames = 480);
    void webcamFrame(int64_t atMs);
    void waitForSamples();

    // Resumes on another thread and, once the recording is no longer paused, calls
    // deliver(t) with t = fromMs, fromMs + 10, ... until the resume returns (or
    // throws, which is passed on). Gives the next unused t.
    int64_t resumeDelivering(Target target, const RecordingOptions& options, int64_t fromMs,
                             const std::function<void(int64_t)>& deliver);
    int64_t resumeWithFrames(Target target, const RecordingOptions& options, int64_t fromMs) {
        return resumeDelivering(target, options, fromMs, [this](int64_t t) { screenFrame(t); });
    }

private:
    std::shared_ptr<Dovezode::Recorder> recorder_;
    std::shared_ptr<Events> events_;
    std::unique_ptr<test_support::MainQueueThread> mainQueue_;
};

platform::CaptureDevice microphone(std::string id, platform::CaptureDeviceType type,
                                   std::vector<platform::CaptureDeviceFormat> formats);
platform::CaptureDevice camera(std::string id, platform::CaptureDeviceType type);

} // namespace engine_test
