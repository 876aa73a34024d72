// What the start asks of the screen stream: its configuration, what it shows
// and at which size, its outputs, and how the platform's capabilities change them.

#include "engine_fixture.h"

#include "platform/queues.h"

#include <unistd.h>

namespace engine_test {
namespace {

using platform::CaptureDeviceType;
using platform::DisplayMode;
using platform::Rect;

using StreamSetupTest = EngineTest;

struct SizeCase {
    const char* name;
    Target target;
    std::string targetID;
    std::optional<DisplayMode> mode;  // of display 1
    std::optional<Rect> crop;
    std::optional<int64_t> width;
    std::optional<int64_t> height;
};

class StreamSizeTest : public EngineTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(StreamSizeTest, FollowsTheTargetTheModeAndTheCrop) {
    const auto& c = GetParam();
    if (c.mode) screens().setMode(1, *c.mode);
    RecordingOptions options = displayRecording();
    options.targetID = c.targetID;
    options.cropRect = c.crop;
    if (c.target == Target::audioOnly) options.destination = "main.m4a";
    start(c.target, options);
    const auto& configuration = stream()->configuration();
    EXPECT_EQ(configuration.width, c.width);
    EXPECT_EQ(configuration.height, c.height);
    EXPECT_EQ(configuration.sourceRect, c.crop);
}

const Rect kCrop{{10, 20}, {100.7, 50.2}};
const DisplayMode kRetina{.pixelWidth = 2880, .width = 1440};
const DisplayMode kScaled{.pixelWidth = 3840, .width = 2560};

INSTANTIATE_TEST_SUITE_P(
    Start, StreamSizeTest,
    ::testing::Values(SizeCase{"DoubleScaleCrop", Target::screen, "1", kRetina, kCrop, 200, 100},
                      SizeCase{"DoubleScaleWholeDisplay", Target::screen, "1", kRetina, std::nullopt, 3840, 2160},
                      SizeCase{"FractionalScaleTruncatesToOne", Target::screen, "1", kScaled, kCrop, 100, 50},
                      SizeCase{"FractionalScaleWholeDisplay", Target::screen, "1", kScaled, std::nullopt, 1920, 1080},
                      SizeCase{"NoModeCrop", Target::screen, "1", std::nullopt, kCrop, 100, 50},
                      SizeCase{"NoModeWholeDisplay", Target::screen, "1", std::nullopt, std::nullopt, 1920, 1080},
                      SizeCase{"WindowIsNeverScaled", Target::window, "10", kRetina, std::nullopt, 640, 480},
                      SizeCase{"AudioOnlyHasNoSize", Target::audioOnly, "1", kRetina, std::nullopt, std::nullopt,
                               std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// The crop is clipped to the display (1920 x 1080 points, here at twice as many
// pixels): a request never makes a picture larger than the display, and a crop
// that misses the display has nothing to capture, which the stream refuses.
struct CropCase {
    const char* name;
    Rect crop;
    std::optional<Rect> source;  // absent: the start fails
};

class CropClippingTest : public EngineTest, public ::testing::WithParamInterface<CropCase> {};

TEST_P(CropClippingTest, TheCropIsClippedToTheDisplay) {
    const auto& c = GetParam();
    screens().setMode(1, {.pixelWidth = 3840, .width = 1920});
    RecordingOptions options = displayRecording();
    options.cropRect = c.crop;
    if (c.source) {
        start(Target::screen, options);
        const auto& configuration = stream()->configuration();
        EXPECT_EQ(configuration.sourceRect, c.source);
        EXPECT_EQ(configuration.width, 2 * int64_t(c.source->size.width));
        EXPECT_EQ(configuration.height, 2 * int64_t(c.source->size.height));
    } else {
        auto failure = failureOf([&] { start(Target::screen, options); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind(), Error::Kind::couldNotStartStream);
        EXPECT_NE(failure->textualDescription().find("empty"), std::string::npos) << failure->textualDescription();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Start, CropClippingTest,
    ::testing::Values(CropCase{"OnePointInside", {{5, 5}, {1, 1}}, Rect{{5, 5}, {1, 1}}},
                      CropCase{"Inside", {{100, 50}, {640, 360}}, Rect{{100, 50}, {640, 360}}},
                      CropCase{"AcrossTheBottomRight", {{1800, 1000}, {1000, 1000}}, Rect{{1800, 1000}, {120, 80}}},
                      CropCase{"AcrossTheTopLeft", {{-50, -20}, {100, 100}}, Rect{{0, 0}, {50, 80}}},
                      CropCase{"AMillionPointsFromTheOrigin", {{0, 0}, {1e6, 1e6}}, Rect{{0, 0}, {1920, 1080}}},
                      CropCase{"AMillionPointsAroundTheDisplay", {{-5e5, -5e5}, {1e6, 1e6}}, Rect{{0, 0}, {1920, 1080}}},
                      CropCase{"BesideTheDisplay", {{1920, 0}, {100, 100}}, std::nullopt},
                      CropCase{"FarOutside", {{1e6, 1e6}, {1e6, 1e6}}, std::nullopt},
                      CropCase{"EmptyInside", {{10, 10}, {0, 0}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamSetupTest, PixelFormatAndColourSpaceFollowTheCodec) {
    struct Case {
        VideoCodec codec;
        std::optional<platform::FourCharCode> pixelFormat;
        std::optional<std::string> colorSpace;
    };
    const Case cases[] = {
        {VideoCodec::h264, platform::pixel_format::bgra, "sRGB"},
        {VideoCodec::hevc, platform::fourCharCode("l10r"), "DisplayP3"},
        {VideoCodec::proRes422, std::nullopt, std::nullopt},
        {VideoCodec::proRes4444, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        RecordingOptions options = displayRecording();
        options.destination = "main.mov";
        options.videoCodec = c.codec;
        options.framesPerSecond = 60;
        options.showCursor = false;
        start(Target::screen, options);
        const auto& configuration = stream()->configuration();
        EXPECT_EQ(configuration.pixelFormat, c.pixelFormat) << c.codec.caseName();
        EXPECT_EQ(configuration.colorSpaceName, c.colorSpace) << c.codec.caseName();
        EXPECT_EQ(configuration.queueDepth, 6);
        EXPECT_EQ(configuration.minimumFrameInterval, MediaTime::make(1, 60));
        EXPECT_FALSE(configuration.showsCursor);
        EXPECT_FALSE(configuration.capturesAudio);
        recorder().stop();
    }
}

// As the recording starts, before any picture, the main file's writer is told the
// video settings of the planned pictures and the stream's pixel format: exactly the
// settings its input gets when the first picture has the planned size.
TEST_F(StreamSetupTest, TheMainWriterIsToldThePlannedVideoBeforeThePicturesCome) {
    struct Case {
        const char* name;
        Target target;
        std::string targetID;
        std::optional<Rect> crop;
        VideoCodec codec;
        int32_t width;
        int32_t height;
        platform::FourCharCode pixelFormat;
    };
    const Case cases[] = {
        {"CroppedDisplay", Target::screen, "1", Rect{{0, 0}, {64, 48}}, VideoCodec::h264, 64, 48,
         platform::pixel_format::bgra},
        {"WholeDisplay", Target::screen, "1", std::nullopt, VideoCodec::h264, 1920, 1080, platform::pixel_format::bgra},
        {"Window", Target::window, "10", std::nullopt, VideoCodec::h264, 640, 480, platform::pixel_format::bgra},
        {"Hevc", Target::screen, "1", std::nullopt, VideoCodec::hevc, 1920, 1080, platform::fourCharCode("l10r")},
        // ProRes leaves the stream's pixel format to the backend: its default, BGRA.
        {"ProRes", Target::screen, "1", std::nullopt, VideoCodec::proRes422, 1920, 1080,
         platform::pixel_format::bgra},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingOptions options = displayRecording();
        options.destination = "main.mov";
        options.targetID = c.targetID;
        options.cropRect = c.crop;
        options.videoCodec = c.codec;
        options.framesPerSecond = 60;
        start(c.target, options);
        auto main = writer("main.mov");
        ASSERT_TRUE(main);
        const auto hint = main->videoInputHint();
        ASSERT_TRUE(hint);
        EXPECT_EQ(hint->inputsThen, 0u);
        EXPECT_EQ(hint->settings.width, c.width);
        EXPECT_EQ(hint->settings.height, c.height);
        EXPECT_EQ(hint->sourcePixelFormat, c.pixelFormat);
        EXPECT_TRUE(main->fakeInputs().empty()) << "the input is still added at the first picture";
        EXPECT_EQ(main->startWritingCalls(), 0);

        stream()->deliver(StreamOutputType::screen, platform::fake::makeVideoSample(c.width, c.height, ms(0)));
        waitForSamples();
        ASSERT_TRUE(inputOf("main.mov"));
        EXPECT_EQ(std::get<platform::VideoSettings>(inputOf("main.mov")->outputSettings()), hint->settings);
        recorder().stop();
        writers().removeFile("main.mov");
    }
}

// Files that hold no screen video are told nothing: the audio-only main file, the
// phone's (its pictures' size is not known before they come), the webcam's and the
// audio files.
TEST_F(StreamSetupTest, OnlyAScreenOrWindowRecordingsMainWriterIsToldOfVideo) {
    RecordingOptions audioOnly = displayRecording();
    audioOnly.destination = "main.m4a";
    audioOnly.targetID = std::nullopt;
    audioOnly.recordSystemAudio = true;
    audioOnly.sysDestination = "sys.m4a";
    start(Target::audioOnly, audioOnly);
    ASSERT_TRUE(writer("main.m4a") && writer("sys.m4a"));
    EXPECT_FALSE(writer("main.m4a")->videoInputHint());
    EXPECT_FALSE(writer("sys.m4a")->videoInputHint());
    recorder().stop();

    RecordingOptions phone{.destination = "phone.mp4", .targetID = kPhone};
    start(Target::lumbra, phone);
    ASSERT_TRUE(writer("phone.mp4"));
    EXPECT_FALSE(writer("phone.mp4")->videoInputHint());
    recorder().stop();

    RecordingOptions withCamera = displayRecording();
    withCamera.webcamDeviceID = kCamera;
    withCamera.webcamDestination = "cam.mp4";
    start(Target::screen, withCamera);
    ASSERT_TRUE(writer(kMainFile) && writer("cam.mp4"));
    EXPECT_TRUE(writer(kMainFile)->videoInputHint());
    EXPECT_FALSE(writer("cam.mp4")->videoInputHint());
    recorder().stop();
}

TEST_F(StreamSetupTest, AudioOnlyShowsTheFirstDisplayOncePerSecond) {
    RecordingOptions options = displayRecording();
    options.destination = "main.m4a";
    options.targetID = std::nullopt;
    options.framesPerSecond = 60;
    start(Target::audioOnly, options);
    const auto& configuration = stream()->configuration();
    EXPECT_EQ(configuration.minimumFrameInterval, MediaTime::make(1, 1));
    ASSERT_TRUE(stream()->filter().display());
    EXPECT_EQ(stream()->filter().display()->displayID, 1u);
    EXPECT_TRUE(stream()->filter().excludedWindows().empty());
}

TEST_F(StreamSetupTest, ADisplayRecordingLeavesOutTheProgramsOwnWindowsAndTheExcludedProcesses) {
    auto excludedIDs = [&] {
        std::vector<uint32_t> ids;
        for (const auto& window : stream()->filter().excludedWindows()) ids.push_back(window.windowID);
        return ids;
    };
    start(Target::screen, {.destination = kMainFile, .targetID = "2"});
    EXPECT_EQ(stream()->filter().display()->displayID, 2u);
    EXPECT_EQ(excludedIDs(), std::vector<uint32_t>{11});
    recorder().stop();

    RecordingOptions excluding = displayRecording();
    excluding.excludedProcessID = 4242;
    start(Target::screen, excluding);
    EXPECT_EQ(excludedIDs(), (std::vector<uint32_t>{10, 11}));

    // Every fetch includes desktop and off-screen windows.
    for (const auto& fetch : content().fetches()) {
        EXPECT_FALSE(fetch.excludingDesktopWindows);
        EXPECT_FALSE(fetch.onScreenWindowsOnly);
    }
}

TEST_F(StreamSetupTest, AWindowRecordingShowsThatWindowAlone) {
    start(Target::window, {.destination = kMainFile, .targetID = "13"});
    ASSERT_TRUE(stream()->filter().isWindow());
    EXPECT_EQ(stream()->filter().window()->windowID, 13u);
}

TEST_F(StreamSetupTest, OutputsAreAddedOnTheGlobalConcurrentQueue) {
    RecordingOptions options = displayRecording();
    options.recordSystemAudio = true;
    options.sysDestination = "sys.m4a";
    start(Target::screen, options);
    EXPECT_TRUE(stream()->configuration().capturesAudio);
    EXPECT_EQ(stream()->outputTypes(), (std::vector<StreamOutputType>{StreamOutputType::screen, StreamOutputType::audio}));
    for (auto type : stream()->outputTypes()) EXPECT_EQ(stream()->queueFor(type), platform::globalQueue());
    EXPECT_EQ(stream()->startCount(), 1);
}

// ---- Both sides of each capability.

TEST_F(StreamSetupTest, ClicksAreHighlightedOnlyWhereTheStreamDrawsThem) {
    for (bool drawsClicks : {false, true}) {
        capabilities().streamDrawsClicks = drawsClicks;
        RecordingOptions options = displayRecording();
        options.highlightClicks = true;
        start(Target::screen, options);
        EXPECT_EQ(stream()->configuration().showMouseClicks, drawsClicks);
        recorder().stop();
    }
}

TEST_F(StreamSetupTest, TheMicrophoneComesFromTheStreamWhereItCanCaptureIt) {
    struct Case {
        bool streamCapturesMicrophone;
        Target target;
        std::string targetID;
        bool fromStream;
        int32_t channels;
    };
    const Case cases[] = {
        {true, Target::screen, "1", true, 2},
        {false, Target::screen, "1", false, 1},
        // A phone recording has no stream: the microphone always has its own capture session.
        {true, Target::lumbra, kPhone, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "stream captures microphone " << c.streamCapturesMicrophone << ", target "
                                        << c.targetID);
        capabilities().streamCapturesMicrophone = c.streamCapturesMicrophone;
        const size_t sessionsBefore = sessions().sessions().size();
        RecordingOptions options = displayRecording();
        options.targetID = c.targetID;
        options.microphoneDeviceID = kMicrophone;
        options.micDestination = "mic.m4a";
        start(c.target, options);
        if (c.target != Target::lumbra) {
            const auto& configuration = stream()->configuration();
            EXPECT_EQ(configuration.captureMicrophone, c.fromStream);
            EXPECT_EQ(configuration.microphoneCaptureDeviceID,
                      c.fromStream ? std::optional<std::string>(kMicrophone) : std::nullopt);
            auto types = stream()->outputTypes();
            EXPECT_EQ(std::count(types.begin(), types.end(), StreamOutputType::microphone), c.fromStream ? 1 : 0);
        }
        bool hasSession = false;
        for (size_t i = sessionsBefore; i < sessions().sessions().size(); ++i) {
            for (const auto& input : sessions().sessions()[i]->inputs()) hasSession |= input->device().uniqueID == kMicrophone;
        }
        EXPECT_EQ(hasSession, !c.fromStream);
        auto settings = std::get<platform::AudioSettings>(inputOf("mic.m4a")->outputSettings());
        EXPECT_EQ(settings.numberOfChannels, c.channels);
        recorder().stop();
    }
}

TEST_F(StreamSetupTest, DevicesAreDiscoveredWithTheNewerOrTheOlderTypes) {
    using T = CaptureDeviceType;
    devices().setDevices({microphone("mic-new", T::microphone, {{2u, std::nullopt}}),
                          microphone("mic-old", T::builtInMicrophone, {{2u, std::nullopt}}),
                          camera("cam-new", T::continuityCamera), camera("cam-old", T::builtInWideAngleCamera)});
    struct Case {
        bool newer;
        const char* microphoneID;
        const char* cameraID;
        std::vector<T> microphoneTypes;
        std::vector<T> cameraTypes;
        std::vector<T> phoneTypes;
    };
    const Case cases[] = {
        {true, "mic-new", "cam-new", {T::microphone, T::external},
         {T::builtInWideAngleCamera, T::external, T::continuityCamera}, {T::external}},
        {false, "mic-old", "cam-old", {T::builtInMicrophone, T::externalUnknown},
         {T::builtInWideAngleCamera, T::externalUnknown}, {T::externalUnknown}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.newer ? "newer types" : "older types");
        capabilities().newerCaptureDeviceTypes = c.newer;
        const size_t before = devices().discoveries().size();
        RecordingOptions options = displayRecording();
        options.microphoneDeviceID = c.microphoneID;
        options.micDestination = "mic.m4a";
        options.webcamDeviceID = c.cameraID;
        options.webcamDestination = "cam.mp4";
        start(Target::screen, options);
        recorder().stop();
        auto discoveries = devices().discoveries();
        ASSERT_EQ(discoveries.size(), before + 2);
        EXPECT_EQ(discoveries[before],
                  (platform::fake::Discovery{c.microphoneTypes, platform::MediaType::audio}));
        EXPECT_EQ(discoveries[before + 1], (platform::fake::Discovery{c.cameraTypes, platform::MediaType::video}));

        // The phone is looked for among the external devices of any media type.
        auto refused = failureOf([&] { start(Target::lumbra, {.destination = kMainFile, .targetID = "phone-9"}); });
        ASSERT_TRUE(refused);
        EXPECT_EQ(devices().discoveries().back(), (platform::fake::Discovery{c.phoneTypes, std::nullopt}));
    }
    EXPECT_TRUE(devices().screenCaptureDevicesAllowed());
}

TEST_F(StreamSetupTest, ContentRectangleAndFrameGiveTheSameSize) {
    for (bool contentRectangleSizing : {false, true}) {
        capabilities().contentRectangleSizing = contentRectangleSizing;
        start(Target::screen, {.destination = kMainFile, .targetID = "2"});
        EXPECT_EQ(stream()->configuration().width, 1440);
        EXPECT_EQ(stream()->configuration().height, 900);
        recorder().stop();
        start(Target::window, {.destination = kMainFile, .targetID = "10"});
        EXPECT_EQ(stream()->configuration().width, 640);
        EXPECT_EQ(stream()->configuration().height, 480);
        recorder().stop();
    }
}

} // namespace
} // namespace engine_test
