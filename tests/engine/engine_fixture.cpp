#include "engine_fixture.h"

#include "platform/queues.h"

#include <unistd.h>

#include <future>

namespace engine_test {

using platform::CaptureDeviceType;

size_t Events::count(const std::vector<int64_t> Events::*field) const {
    std::lock_guard guard(mutex);
    return (this->*field).size();
}

std::vector<Error> Events::errorList() const {
    std::lock_guard guard(mutex);
    return errors;
}

platform::CaptureDevice microphone(std::string id, CaptureDeviceType type,
                                   std::vector<platform::CaptureDeviceFormat> formats) {
    platform::CaptureDevice device;
    device.uniqueID = std::move(id);
    device.localizedName = "Microphone " + device.uniqueID;
    device.deviceType = type;
    device.mediaTypes = {platform::MediaType::audio};
    device.formats = std::move(formats);
    return device;
}

platform::CaptureDevice camera(std::string id, CaptureDeviceType type) {
    platform::CaptureDevice device;
    device.uniqueID = std::move(id);
    device.localizedName = "Camera " + device.uniqueID;
    device.deviceType = type;
    device.mediaTypes = {platform::MediaType::video};
    device.formats = {{std::nullopt, platform::VideoDimensions{1280, 720}}};
    return device;
}

void EngineTest::SetUp() {
    FakePlatformTest::SetUp();
    mainQueue_ = std::make_unique<test_support::MainQueueThread>();

    platform::Display first{.displayID = 1, .width = 1920, .height = 1080, .frame = {{0, 0}, {1920, 1080}}};
    platform::Display second{.displayID = 2, .width = 1440, .height = 900, .frame = {{1920, 0}, {1440, 900}}};
    content().setDisplays({first, second});
    auto window = [](uint32_t number, std::optional<int32_t> processID) {
        platform::Window w;
        w.windowID = number;
        w.title = "Window " + std::to_string(number);
        if (processID) w.owningApplication = platform::RunningApplication{"App", "org.example.app", *processID};
        w.isOnScreen = true;
        w.frame = {{40, 30}, {640.9, 480.6}};
        return platform::fake::FakeWindow{w};
    };
    content().setWindows({window(10, 4242), window(11, static_cast<int32_t>(getpid())), window(12, std::nullopt),
                          window(13, 5151)});

    devices().setDevices({microphone(kMicrophone, CaptureDeviceType::microphone, {{1u, std::nullopt}}),
                          camera(kCamera, CaptureDeviceType::builtInWideAngleCamera)});
    platform::CaptureDevice phone;
    phone.uniqueID = kPhone;
    phone.localizedName = "Phone";
    phone.deviceType = CaptureDeviceType::external;
    phone.mediaTypes = {platform::MediaType::muxed};
    devices().addScreenCaptureDevice(phone);

    events_ = std::make_shared<Events>();
    recorder_ = Dovezode::Recorder::make(*fake().platform());
    std::weak_ptr<Events> weak = events_;
    auto record = [weak](auto field) {
        return [weak, field](auto value) {
            if (auto e = weak.lock()) {
                std::lock_guard guard(e->mutex);
                ((*e).*field).push_back(value);
            }
        };
    };
    recorder_->setOnStart(record(&Events::starts));
    recorder_->setOnResume(record(&Events::resumes));
    recorder_->setOnPause(record(&Events::pauses));
    recorder_->setOnFinish(record(&Events::finishes));
    recorder_->setOnError(record(&Events::errors));
}

void EngineTest::TearDown() {
    // A recording still running is stopped so that its background work ends inside the test.
    if (recorder_) {
        try {
            recorder_->stop();
        } catch (const Error&) {
        }
    }
    recorder_.reset();
    mainQueue_.reset();
    FakePlatformTest::TearDown();
}

platform::fake::FakeAssetWriters& EngineTest::writers() {
    return dynamic_cast<platform::fake::FakeAssetWriters&>(*fake().platform()->assetWriters);
}

std::optional<Error> EngineTest::failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

std::shared_ptr<platform::fake::FakeCaptureOutput> EngineTest::outputOf(const std::string& deviceID, size_t index) {
    // The newest session of the device: an earlier recording of this test may have had one too.
    auto all = sessions().sessions();
    for (auto session = all.rbegin(); session != all.rend(); ++session) {
        for (const auto& input : (*session)->inputs()) {
            if (input->device().uniqueID != deviceID) continue;
            auto outputs = (*session)->outputs();
            return outputs.size() > index ? outputs[index] : nullptr;
        }
    }
    return nullptr;
}

std::shared_ptr<platform::fake::FakeAssetWriterInput> EngineTest::inputOf(const std::string& path) {
    auto w = writer(path);
    if (!w || w->fakeInputs().empty()) return nullptr;
    return w->fakeInputs().front();
}

std::vector<MediaTime> EngineTest::appendedTo(const std::string& path) {
    std::vector<MediaTime> times;
    auto w = writer(path);
    if (!w) return times;
    for (const auto& input : w->fakeInputs()) {
        for (const auto& sample : input->appended()) times.push_back(sample.presentationTime);
    }
    return times;
}

void EngineTest::waitForSamples() { ASSERT_TRUE(fake().samples().waitUntilHandled()); }

void EngineTest::screenFrame(int64_t atMs, std::optional<FrameStatus> status) {
    stream()->deliver(StreamOutputType::screen, platform::fake::makeVideoSample(64, 48, ms(atMs), {.frameStatus = status}));
    waitForSamples();
}

void EngineTest::streamAudio(StreamOutputType type, int64_t atMs, int64_t frames) {
    stream()->deliver(type, platform::fake::makeAudioSample(frames, 48000, ms(atMs), {.channels = 2}));
    waitForSamples();
}

void EngineTest::captureAudio(const std::string& deviceID, int64_t atMs, int64_t frames) {
    auto output = outputOf(deviceID, deviceID == kPhone ? 1 : 0);
    ASSERT_TRUE(output) << "no audio output for " << deviceID;
    output->deliver(platform::fake::makeAudioSample(frames, 48000, ms(atMs)));
    waitForSamples();
}

void EngineTest::webcamFrame(int64_t atMs) {
    auto output = outputOf(kCamera);
    ASSERT_TRUE(output) << "no webcam output";
    output->deliver(platform::fake::makeVideoSample(32, 24, ms(atMs)));
    waitForSamples();
}

int64_t EngineTest::resumeDelivering(Target target, const RecordingOptions& options, int64_t fromMs,
                                     const std::function<void(int64_t)>& deliver) {
    auto resumed = std::async(std::launch::async, [&] { resume(target, options); });
    auto ready = [&] { return resumed.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    EXPECT_TRUE(eventually([&] { return ready() || !recorder().isPaused(); }));
    const size_t resumesBefore = events().count(&Events::resumes);
    int64_t t = fromMs;
    for (int i = 0; i < 1000 && !ready(); ++i, t += 10) {
        deliver(t);
        // The delivery that resolved the new segment's synchronisation hands the resume
        // over: wait for it to return before delivering more, however long a busy machine
        // takes to run the resuming thread again (the number of deliveries must not depend
        // on it). A delivery that resolved it without a screen frame leaves the resume to
        // the next one, so the wait is bounded.
        if (events().count(&Events::resumes) > resumesBefore &&
            resumed.wait_for(std::chrono::seconds(30)) == std::future_status::ready) {
            t += 10;
            break;
        }
    }
    resumed.get();
    return t;
}

} // namespace engine_test
