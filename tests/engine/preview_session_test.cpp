// The webcam and microphone previews over the fake platform: the window they
// show (size, shape, place, session), the start and stop rules, the level lines,
// and how a recording takes the window over.

#include "engine_fixture.h"

#include "Dovezode/LevelMeter.h"
#include "Dovezode/PreviewSession.h"
#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/fake/fake_preview_window.h"
#include "platform/queues.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace engine_test {
namespace {

using platform::fake::FakeOperation;
using platform::fake::FakePreviewWindowRecord;

class PreviewTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        auto cam = camera(kCamera, platform::CaptureDeviceType::builtInWideAngleCamera);
        cam.activeFormat = 0;  // 1280x720
        auto wide = camera("cam-4x3", platform::CaptureDeviceType::external);
        wide.formats = {{std::nullopt, platform::VideoDimensions{640, 480}}};
        wide.activeFormat = 0;
        devices().setDevices({microphone(kMicrophone, platform::CaptureDeviceType::microphone, {{2u, std::nullopt}}),
                              cam, wide});
        // The main display's screen, less a 40-pixel panel at its bottom.
        screens().setScreens({{1, "Main", {{0, 0}, {1920, 1080}}, {{0, 0}, {1920, 1040}}},
                              {2, "Side", {{1920, 0}, {1440, 900}}, {{1920, 0}, {1440, 900}}}});
        screens().setMainDisplayNumber(1);
    }

    void TearDown() override {
        WebcamPreviewWindow::hide();
        settleMainQueue();
        EXPECT_EQ(windows().offMainQueueCalls(), 0);
        EngineTest::TearDown();
    }

    platform::fake::FakePreviewWindows& windows() { return platform::fake::fakePreviewWindows(*fake().platform()); }
    static void settleMainQueue() { platform::mainQueue()->sync([] {}); }
    static std::shared_ptr<WebcamPreviewWindow> sharedWindow() {
        std::shared_ptr<WebcamPreviewWindow> window;
        platform::mainQueue()->sync([&] { window = WebcamPreviewWindow::shared(); });
        return window;
    }
    std::shared_ptr<platform::fake::FakeCaptureSession> sessionOf(const std::string& deviceID) {
        auto all = sessions().sessions();
        for (auto session = all.rbegin(); session != all.rend(); ++session) {
            for (const auto& input : (*session)->inputs()) {
                if (input->device().uniqueID == deviceID) return *session;
            }
        }
        return nullptr;
    }
    // The lines the level meter wrote while `deliver` ran and the deliveries were handled.
    std::string levelLinesOf(const std::function<void()>& deliver) {
        testing::internal::CaptureStdout();
        deliver();
        waitForSamples();
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

struct ShapeCase {
    const char* name;
    const char* camera;
    PreviewShape shape;
    platform::Size size;
    double cornerRadius;
    bool circular;
    platform::VideoGravity gravity;
};

class PreviewShapes : public PreviewTest, public testing::WithParamInterface<ShapeCase> {};

TEST_P(PreviewShapes, WindowTakesTheSizeShapeAndCornerOfItsCamera) {
    const auto& c = GetParam();
    PreviewSession preview{*fake().platform()};
    preview.startWebcamPreview(c.camera, c.shape);
    EXPECT_TRUE(preview.isPreviewingWebcam());

    auto window = windows().last();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->style().size, c.size);
    EXPECT_EQ(window->style().circular, c.circular);
    if (!c.circular) {
        EXPECT_EQ(window->style().cornerRadius, c.cornerRadius);
    }
    EXPECT_EQ(window->style().gravity, c.gravity);
    EXPECT_TRUE(window->onScreen());
    // 32 points in from the right and bottom edges of the main screen's visible frame.
    // In whole pixels: 112.5 rounds up to 113.
    const double height = std::floor(c.size.height + 0.5);
    EXPECT_EQ(window->frame().size, (platform::Size{200, height}));
    EXPECT_EQ(window->frame().origin, (platform::Point{1920 - 200 - 32, 1040 - height - 32}));
    // The window shows the preview's own running camera session.
    auto session = sessionOf(c.camera);
    ASSERT_TRUE(session);
    EXPECT_EQ(window->session(), session);
    EXPECT_TRUE(session->isRunning());
    preview.stopWebcamPreview();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreviewShapes,
    testing::Values(
        ShapeCase{"original16x9", kCamera, PreviewShape::original, {200, 112.5}, 16, false, platform::VideoGravity::resizeAspect},
        ShapeCase{"original4x3", "cam-4x3", PreviewShape::original, {200, 150}, 16, false, platform::VideoGravity::resizeAspect},
        ShapeCase{"square16x9", kCamera, PreviewShape::square, {200, 200}, 32, false, platform::VideoGravity::resizeAspectFill},
        ShapeCase{"square4x3", "cam-4x3", PreviewShape::square, {200, 200}, 32, false, platform::VideoGravity::resizeAspectFill},
        ShapeCase{"rounded16x9", kCamera, PreviewShape::rounded, {200, 200}, 0, true, platform::VideoGravity::resizeAspectFill},
        ShapeCase{"rounded4x3", "cam-4x3", PreviewShape::rounded, {200, 200}, 0, true, platform::VideoGravity::resizeAspectFill}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PreviewTest, SecondWebcamStartChangesNothing) {
    PreviewSession preview{*fake().platform()};
    preview.startWebcamPreview(kCamera, PreviewShape::original);
    preview.startWebcamPreview("cam-4x3", PreviewShape::rounded);
    preview.startWebcamPreview("no-such-camera", PreviewShape::square);
    EXPECT_EQ(windows().windows().size(), 1u);
    EXPECT_EQ(windows().last()->style().size, (platform::Size{200, 112.5}));
    EXPECT_FALSE(sessionOf("cam-4x3"));
    EXPECT_TRUE(preview.isPreviewingWebcam());
}

TEST_F(PreviewTest, UnknownCameraFailsWithoutWindow) {
    PreviewSession preview{*fake().platform()};
    auto failure = failureOf([&] { preview.startWebcamPreview("no-such-camera", PreviewShape::rounded); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Error::Kind::webcamNotFound);
    EXPECT_EQ(failure->text(), "no-such-camera");
    EXPECT_FALSE(preview.isPreviewingWebcam());
    settleMainQueue();
    EXPECT_TRUE(windows().windows().empty());
}

TEST_F(PreviewTest, CameraThatCannotBeOpenedPassesThePlatformErrorOn) {
    fake().failures().failNext(FakeOperation::captureSessionsMakeDeviceInput,
                               platform::PlatformError(platform::kCaptureErrorDomain, -11852, "Camera access denied."));
    PreviewSession preview{*fake().platform()};
    try {
        preview.startWebcamPreview(kCamera, PreviewShape::original);
        FAIL() << "the start did not fail";
    } catch (const platform::PlatformError& error) {
        EXPECT_EQ(error.code(), -11852);
    }
    EXPECT_FALSE(preview.isPreviewingWebcam());
    EXPECT_TRUE(windows().windows().empty());
}

TEST_F(PreviewTest, NoWindowMeansNoWebcamPreview) {
    fake().failures().failNext(FakeOperation::previewWindowsMakeWindow,
                               platform::PlatformError("x", 1, "No display server can be reached."));
    PreviewSession preview{*fake().platform()};
    EXPECT_THROW(preview.startWebcamPreview(kCamera, PreviewShape::original), platform::PlatformError);
    EXPECT_FALSE(preview.isPreviewingWebcam());
    EXPECT_FALSE(sessionOf(kCamera)->isRunning());
}

TEST_F(PreviewTest, StopCaptureSessionKeepsTheWindowAndStopWebcamHidesItEvenWhenIdle) {
    PreviewSession preview{*fake().platform()};
    preview.startWebcamPreview(kCamera, PreviewShape::square);
    auto session = sessionOf(kCamera);
    preview.stopCaptureSession();
    settleMainQueue();
    EXPECT_FALSE(preview.isPreviewingWebcam());
    EXPECT_FALSE(session->isRunning());
    auto window = windows().last();
    EXPECT_TRUE(window->onScreen());
    EXPECT_EQ(window->session(), session) << "the window keeps its session until hidden";

    PreviewSession idle{*fake().platform()};
    idle.stopWebcamPreview();
    settleMainQueue();
    EXPECT_TRUE(window->released());
    EXPECT_FALSE(window->onScreen());
    EXPECT_FALSE(sharedWindow());
    EXPECT_EQ(session.use_count(), 2) << "held by the test and the platform's session list only";
}

TEST_F(PreviewTest, SecondShowKeepsSizeShapeAndPlaceAndHideThenShowMakesAFreshWindow) {
    PreviewSession first{*fake().platform()};
    first.startWebcamPreview(kCamera, PreviewShape::original);
    auto window = windows().last();
    window->dragTo({100, 100});  // the user moved it

    PreviewSession second{*fake().platform()};
    second.startWebcamPreview("cam-4x3", PreviewShape::rounded);
    EXPECT_EQ(windows().windows().size(), 1u);
    EXPECT_EQ(window->frame(), (platform::Rect{{100, 100}, {200, 113}}));
    EXPECT_FALSE(window->style().circular);
    EXPECT_EQ(window->session(), sessionOf("cam-4x3"));
    EXPECT_EQ(sharedWindow()->shape(), PreviewShape::original);

    second.stopWebcamPreview();
    PreviewSession third{*fake().platform()};
    third.startWebcamPreview("cam-4x3", PreviewShape::rounded);
    ASSERT_EQ(windows().windows().size(), 2u);
    EXPECT_TRUE(window->released());
    auto fresh = windows().last();
    EXPECT_TRUE(fresh->style().circular);
    EXPECT_EQ(fresh->frame(), (platform::Rect{{1920 - 232, 1040 - 232}, {200, 200}}));
}

TEST_F(PreviewTest, WithoutScreensTheWindowStaysAtTheOrigin) {
    screens().setScreens({});
    PreviewSession preview{*fake().platform()};
    preview.startWebcamPreview(kCamera, PreviewShape::original);
    EXPECT_EQ(windows().last()->frame().origin, (platform::Point{0, 0}));
}

TEST_F(PreviewTest, HideWithoutWindowDoesNothing) {
    WebcamPreviewWindow::hide();
    settleMainQueue();
    EXPECT_FALSE(sharedWindow());
}

TEST_F(PreviewTest, MicrophonePreviewDeliversOnItsQueueAndPrintsLevelLines) {
    PreviewSession preview{*fake().platform()};
    preview.startMicrophonePreview(kMicrophone);
    EXPECT_TRUE(preview.isPreviewingMicrophone());
    auto session = sessionOf(kMicrophone);
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->isRunning());
    auto output = outputOf(kMicrophone);
    ASSERT_TRUE(output);
    EXPECT_EQ(output->kind(), platform::CaptureOutput::Kind::audioData);
    EXPECT_EQ(output->queue()->label(), "micVolumeQueue");
    EXPECT_TRUE(output->queue()->isSerial());

    auto lines = levelLinesOf([&] {
        platform::fake::AudioSampleOptions stereo{.channels = 2};
        stereo.value = 0;
        output->deliver(platform::fake::makeAudioSample(480, 48000, ms(0), stereo));
        stereo.value = 0.0625f;  // measurement 0.0625: 100 × 0.25
        output->deliver(platform::fake::makeAudioSample(480, 48000, ms(10), stereo));
        stereo.value = -1.0f;
        output->deliver(platform::fake::makeAudioSample(480, 48000, ms(20), stereo));
    });
    EXPECT_EQ(lines, "VOL:0\nVOL:25\nVOL:100\n");

    preview.stopMicrophonePreview();
    EXPECT_FALSE(preview.isPreviewingMicrophone());
    EXPECT_FALSE(session->isRunning());
}

TEST_F(PreviewTest, MicrophoneStartRules) {
    PreviewSession preview{*fake().platform()};
    auto failure = failureOf([&] { preview.startMicrophonePreview("no-such-mic"); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Error::Kind::microphoneNotFound);
    EXPECT_EQ(failure->text(), "no-such-mic");
    EXPECT_FALSE(preview.isPreviewingMicrophone());

    preview.startMicrophonePreview(kMicrophone);
    preview.startMicrophonePreview("no-such-mic");  // running: nothing changes, nothing fails
    EXPECT_EQ(sessions().sessions().size(), 1u);

    // The webcam preview is independent of it.
    EXPECT_THROW(preview.startWebcamPreview("no-such-camera", PreviewShape::original), Error);
    EXPECT_TRUE(preview.isPreviewingMicrophone());
}

TEST_F(PreviewTest, ReleasedPreviewSessionStopsItsMicrophoneButTheWindowKeepsTheCamera) {
    auto preview = std::make_unique<PreviewSession>(*fake().platform());
    preview->startMicrophonePreview(kMicrophone);
    preview->startWebcamPreview(kCamera, PreviewShape::original);
    auto microphoneSession = sessionOf(kMicrophone);
    auto cameraSession = sessionOf(kCamera);
    preview.reset();
    EXPECT_FALSE(microphoneSession->isRunning()) << "no level lines once nothing can stop them";
    EXPECT_TRUE(cameraSession->isRunning());
    EXPECT_EQ(windows().last()->session(), cameraSession);
}

TEST_F(PreviewTest, StopAllEndsBothPreviewsAndHidesTheWindow) {
    PreviewSession preview{*fake().platform()};
    preview.startMicrophonePreview(kMicrophone);
    preview.startWebcamPreview(kCamera, PreviewShape::original);
    preview.stopAll();
    settleMainQueue();
    EXPECT_FALSE(preview.isPreviewingWebcam());
    EXPECT_FALSE(preview.isPreviewingMicrophone());
    EXPECT_FALSE(sessionOf(kMicrophone)->isRunning());
    EXPECT_FALSE(sessionOf(kCamera)->isRunning());
    EXPECT_TRUE(windows().last()->released());
}

TEST_F(PreviewTest, StartEndsTheRecordersPreviewsAndTheRecordingsCameraTakesTheWindow) {
    recorder().startMicrophonePreview(kMicrophone);
    recorder().startWebcamPreview(kCamera, PreviewShape::rounded);
    auto previewCamera = sessionOf(kCamera);
    auto window = windows().last();

    RecordingOptions options = displayRecording();
    options.webcamDeviceID = kCamera;
    options.webcamDestination = "cam.mp4";
    start(Target::screen, options);
    EXPECT_FALSE(recorder().isPreviewingWebcam());
    EXPECT_FALSE(recorder().isPreviewingMicrophone());
    EXPECT_FALSE(previewCamera->isRunning());
    settleMainQueue();
    EXPECT_TRUE(window->onScreen()) << "the window stays up through the start";
    auto recordingCamera = sessionOf(kCamera);
    ASSERT_NE(recordingCamera, previewCamera);
    EXPECT_EQ(window->session(), recordingCamera);
    EXPECT_TRUE(window->style().circular);

    screenFrame(0);
    webcamFrame(0);
    recorder().stop();
    // The hiding is queued on the main queue; it takes a turn or two of it.
    EXPECT_TRUE(eventually([&] { return window->released(); })) << "the end of the recording hides the window";
}

// ---- The level meter's arithmetic

TEST(LevelMeter, RootMeanSquareMatchesADoublePrecisionReferenceAtEveryLengthAndAlignment) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> storage(300);
    for (auto& value : storage) value = sample(random);
    for (size_t offset = 0; offset < 3; ++offset) {
        // An odd byte offset too: the kernel reads the buffer's memory wherever it lies.
        std::vector<unsigned char> bytes(storage.size() * 4 + 3);
        std::memcpy(bytes.data() + offset, storage.data(), storage.size() * 4);
        const auto* floats = reinterpret_cast<const float*>(bytes.data() + offset);
        for (size_t count : {1, 2, 7, 8, 15, 16, 17, 31, 33, 100, 299}) {
            double sum = 0;
            for (size_t i = 0; i < count; ++i) sum += double(storage[i]) * storage[i];
            EXPECT_NEAR(Dovezode::level_meter::rootMeanSquare(floats, count), std::sqrt(sum / count), 1e-6)
                << count << " floats at offset " << offset;
        }
    }
    EXPECT_EQ(Dovezode::level_meter::rootMeanSquare(nullptr, 0), 0.0f);
}

TEST(LevelMeter, LevelIsTruncatedAndCappedAndNonFiniteGivesNone) {
    using Dovezode::level_meter::level;
    struct Case {
        float measurement;
        std::optional<int> expected;
    } cases[] = {
        {0.0f, 0},       {0.25f, 50},   {1.0f, 100},   {4.0f, 100}, {0.0099f, 9},
        {std::numeric_limits<float>::infinity(), std::nullopt},
        {std::numeric_limits<float>::quiet_NaN(), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(level(c.measurement), c.expected) << c.measurement;
}

platform::SampleBuffer audioBuffer(std::vector<uint8_t> bytes, std::optional<platform::AudioStreamDescription> stream) {
    platform::SampleBuffer::Contents contents;
    contents.audioData = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    if (stream) contents.format = platform::FormatDescription::makeAudio(*stream);
    return platform::SampleBuffer(std::move(contents));
}

std::vector<uint8_t> floatBytes(std::vector<float> values) {
    std::vector<uint8_t> bytes(values.size() * 4);
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

TEST(LevelMeter, OnlyBuffersOf32BitFloatsAreMeasured) {
    using Dovezode::level_meter::measure;
    const auto float32 = platform::AudioStreamDescription::float32Interleaved(48000, 2);
    auto int16 = float32;
    int16.formatFlags = platform::AudioStreamDescription::IsSignedInteger | platform::AudioStreamDescription::IsPacked;
    int16.bitsPerChannel = 16;
    int16.bytesPerFrame = int16.bytesPerPacket = 4;
    auto float64 = float32;
    float64.bitsPerChannel = 64;

    EXPECT_EQ(measure(audioBuffer(floatBytes({0.5f, -0.5f, 0.5f, -0.5f}), float32)), 0.5f);
    // The pooled channels: one silent, one full scale.
    EXPECT_NEAR(*measure(audioBuffer(floatBytes({0.0f, 1.0f, 0.0f, -1.0f}), float32)), std::sqrt(0.5f), 1e-7);
    // Trailing bytes that make no whole float are left out.
    auto ragged = floatBytes({1.0f, 1.0f});
    ragged.push_back(0x7f);
    EXPECT_EQ(measure(audioBuffer(ragged, float32)), 1.0f);

    EXPECT_FALSE(measure(audioBuffer(std::vector<uint8_t>(960 * 2, 0x40), int16)));
    EXPECT_FALSE(measure(audioBuffer(floatBytes({1.0f, 1.0f}), float64)));
    EXPECT_FALSE(measure(audioBuffer(floatBytes({1.0f}), std::nullopt)));
    EXPECT_FALSE(measure(audioBuffer({0, 0, 0}, float32)));
    EXPECT_FALSE(measure(platform::SampleBuffer(platform::SampleBuffer::Contents{})));
    // Squares that overflow: no finite level, so no line.
    auto huge = measure(audioBuffer(floatBytes({3e38f, 3e38f}), float32));
    EXPECT_FALSE(huge && Dovezode::level_meter::level(*huge));
}

TEST_F(PreviewTest, SixteenBitBuffersAndOverflowingOnesPrintNothing) {
    PreviewSession preview{*fake().platform()};
    preview.startMicrophonePreview(kMicrophone);
    auto output = outputOf(kMicrophone);
    auto stream = platform::AudioStreamDescription::float32Interleaved(48000, 1);
    stream.formatFlags = platform::AudioStreamDescription::IsSignedInteger | platform::AudioStreamDescription::IsPacked;
    stream.bitsPerChannel = 16;
    auto lines = levelLinesOf([&] {
        auto int16 = std::make_shared<platform::SampleBuffer>(audioBuffer(std::vector<uint8_t>(960, 0x7f), stream));
        output->deliver(int16);
        platform::fake::AudioSampleOptions loud;
        loud.value = 3e38f;
        output->deliver(platform::fake::makeAudioSample(480, 48000, ms(0), loud));
    });
    EXPECT_EQ(lines, "");
}

} // namespace
} // namespace engine_test
