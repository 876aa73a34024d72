// Where each captured sample goes, when each file's writer starts, with which
// settings, and which samples the synchronisation and the frame status hold back.

#include "engine_fixture.h"

#include "platform/asset_writer.h"

#include <map>

namespace engine_test {
namespace {

using platform::AssetWriterStatus;
using platform::AudioSettings;
using platform::fake::FakeOperation;
using platform::VideoSettings;

using SampleRoutingTest = EngineTest;

RecordingOptions withFiles(bool microphone, bool systemAudio, bool webcam, RecordingOptions o = displayRecording()) {
    if (microphone) {
        o.microphoneDeviceID = kMicrophone;
        o.micDestination = "mic.m4a";
    }
    if (systemAudio) {
        o.recordSystemAudio = true;
        o.sysDestination = "sys.m4a";
    }
    if (webcam) {
        o.webcamDeviceID = kCamera;
        o.webcamDestination = "cam.mp4";
    }
    return o;
}

void deliverPhoneVideo(EngineTest& t, int64_t atMs) {
    t.outputOf(kPhone, 0)->deliver(platform::fake::makeVideoSample(64, 48, ms(atMs), {.frameStatus = std::nullopt}));
    t.waitForSamples();
}

// ---- Routing per source.

struct Route {
    const char* name;
    Target target;
    RecordingOptions options = displayRecording();
    bool streamCapturesMicrophone;
    std::function<void(EngineTest&)> deliver;
    std::map<std::string, std::vector<int64_t>> appended;  // per file, in ms
};

class RouteTest : public EngineTest, public ::testing::WithParamInterface<Route> {};

TEST_P(RouteTest, SendsEachSourceToItsFile) {
    const auto& c = GetParam();
    capabilities().streamCapturesMicrophone = c.streamCapturesMicrophone;
    start(c.target, c.options);
    c.deliver(*this);
    for (const auto& w : writers().writers()) {
        std::vector<int64_t> times;
        for (const auto& time : appendedTo(w->outputPath())) times.push_back(time.value);
        auto expected = c.appended.count(w->outputPath()) ? c.appended.at(w->outputPath()) : std::vector<int64_t>{};
        EXPECT_EQ(times, expected) << w->outputPath();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RouteTest,
    ::testing::Values(
        // The segment starts on the capture clock once its first frame was delivered (1 ms
        // later in the fake): the frame, captured before, is shown from the start.
        Route{"StreamScreen", Target::screen, displayRecording(), false,
              [](EngineTest& t) { t.screenFrame(0); t.screenFrame(33); },
              {{"main.mp4", {1, 33}}}},
        // The first screen frame waits for the first audio sample, which completes the
        // segment; the video begins with that frame's picture at the segment's start.
        Route{"StreamSystemAudio", Target::screen, withFiles(false, true, false), false,
              [](EngineTest& t) {
                  t.screenFrame(0);
                  t.streamAudio(StreamOutputType::audio, 5);
                  t.screenFrame(33);
              },
              {{"sys.m4a", {5}}, {"main.mp4", {6, 33}}}},
        Route{"StreamMicrophone", Target::screen, withFiles(true, false, false), true,
              [](EngineTest& t) {
                  t.screenFrame(0);
                  t.streamAudio(StreamOutputType::microphone, 5);
              },
              {{"mic.m4a", {5}}}},
        Route{"MicrophoneCaptureOutput", Target::screen, withFiles(true, false, false), false,
              [](EngineTest& t) {
                  t.screenFrame(0);
                  t.captureAudio(kMicrophone, 5);
                  t.captureAudio(kMicrophone, 15);
              },
              {{"mic.m4a", {5, 15}}}},
        Route{"WebcamOutput", Target::screen, withFiles(false, false, true), false,
              [](EngineTest& t) {
                  t.screenFrame(0);
                  t.webcamFrame(5);
              },
              {{"cam.mp4", {6}}}},
        // Phone samples bypass the synchronisation: written although the expected
        // screen and microphone never deliver.
        Route{"PhoneAudioAndVideo", Target::lumbra,
              withFiles(true, true, false, {.destination = kMainFile, .targetID = kPhone}), false,
              [](EngineTest& t) {
                  t.captureAudio(kMicrophone, 1);
                  t.captureAudio(kPhone, 2);
                  deliverPhoneVideo(t, 3);
                  deliverPhoneVideo(t, 4);
                  t.captureAudio(kMicrophone, 11);
              },
              {{"sys.m4a", {2}}, {"main.mp4", {3, 4}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SampleRoutingTest, InvalidBuffersAreDroppedFromTheStreamButNotFromCaptureOutputs) {
    start(Target::screen, withFiles(true, false, false));
    auto invalid = [](const platform::SampleBufferRef& sample) {
        auto contents = sample->contents();
        contents.valid = false;
        return std::make_shared<platform::SampleBuffer>(contents);
    };
    screenFrame(0);
    captureAudio(kMicrophone, 5);
    stream()->deliver(StreamOutputType::screen, invalid(platform::fake::makeVideoSample(64, 48, ms(40))));
    outputOf(kMicrophone)->deliver(invalid(platform::fake::makeAudioSample(480, 48000, ms(45))));
    waitForSamples();
    screenFrame(80);
    EXPECT_EQ(appendedTo("main.mp4"), (std::vector<MediaTime>{ms(6), ms(80)}));
    EXPECT_EQ(appendedTo("mic.m4a"), (std::vector<MediaTime>{ms(5), ms(45)}));
}

// ---- Frame status.

TEST_F(SampleRoutingTest, EveryFrameTakesPartInTheSynchronisationAndTheVideoBeginsWithAPicture) {
    start(Target::screen, withFiles(true, false, false));
    // An idle frame is the screen's first timestamp; the microphone then completes the segment.
    screenFrame(0, FrameStatus::idle);
    captureAudio(kMicrophone, 5);
    EXPECT_EQ(events().count(&Events::starts), 1u);
    int64_t t = 10;
    for (auto status : {std::optional(FrameStatus::idle), std::optional(FrameStatus::blank),
                        std::optional(FrameStatus::suspended), std::optional(FrameStatus::started),
                        std::optional(FrameStatus::stopped), std::optional<FrameStatus>()}) {
        screenFrame(t += 10, status);
    }
    EXPECT_EQ(writer("main.mp4")->status(), AssetWriterStatus::unknown) << "no picture yet";
    screenFrame(100);
    screenFrame(110, FrameStatus::idle);
    screenFrame(120);
    // The file starts with the segment; its first picture is shown from there.
    EXPECT_EQ(writer("main.mp4")->sessionStartTime(), ms(6));
    EXPECT_EQ(appendedTo("main.mp4"), (std::vector<MediaTime>{ms(6), ms(100), ms(120)}));
}

// ---- Writer start per file.

TEST_F(SampleRoutingTest, EveryWriterStartsAtTheSegmentsStartOnTheCaptureClock) {
    start(Target::screen, withFiles(true, true, true));
    screenFrame(0);
    captureAudio(kMicrophone, 3);
    streamAudio(StreamOutputType::audio, 4);
    screenFrame(10);
    EXPECT_EQ(events().count(&Events::starts), 0u) << "the webcam has not delivered";
    for (const char* path : {"main.mp4", "mic.m4a", "sys.m4a", "cam.mp4"}) {
        EXPECT_EQ(writer(path)->status(), AssetWriterStatus::unknown) << path;
    }
    webcamFrame(12);  // completes the segment (at 13 on the capture clock) and is shown from its start
    streamAudio(StreamOutputType::audio, 14);
    screenFrame(20);
    captureAudio(kMicrophone, 23);
    screenFrame(30);
    webcamFrame(32);
    const std::map<std::string, std::vector<int64_t>> appended{
        {"cam.mp4", {13, 32}}, {"sys.m4a", {14}}, {"main.mp4", {13, 20, 30}}, {"mic.m4a", {23}}};
    for (const auto& [path, times] : appended) {
        EXPECT_EQ(writer(path)->sessionStartTime(), ms(13)) << path;
        EXPECT_EQ(writer(path)->startWritingCalls(), 1) << path;
        std::vector<int64_t> written;
        for (const auto& time : appendedTo(path)) written.push_back(time.convertScale(1000).value);
        EXPECT_EQ(written, times) << path;
    }
    EXPECT_EQ(events().count(&Events::starts), 1u);
}

TEST_F(SampleRoutingTest, TheAudioOnlyMainFileStartsAtTheFirstAudioSampleAndReceivesNothing) {
    start(Target::audioOnly, withFiles(true, false, false, {.destination = "main.m4a"}));
    screenFrame(0);  // the stream still delivers; nothing starts the main writer from it
    EXPECT_EQ(writer("main.m4a")->status(), AssetWriterStatus::unknown);
    captureAudio(kMicrophone, 7);
    captureAudio(kMicrophone, 17);
    auto main = writer("main.m4a");
    EXPECT_EQ(main->outputFileType(), platform::FileType::appleM4A);
    EXPECT_EQ(main->status(), AssetWriterStatus::writing);
    EXPECT_EQ(main->sessionStartTime(), ms(8)) << "the segment's start on the capture clock";
    EXPECT_EQ(main->startWritingCalls(), 1);
    EXPECT_TRUE(main->fakeInputs().empty());
    EXPECT_EQ(appendedTo("mic.m4a"), (std::vector<MediaTime>{ms(7), ms(17)}));
}

TEST_F(SampleRoutingTest, AWriterThatRefusesTheVideoInputIsTriedAgainAtEveryFrame) {
    writers().setScript("main.mp4", platform::fake::FakeAssetWriterScript().fail(FakeOperation::assetWriterAddInput));
    start(Target::screen, displayRecording());
    for (int64_t t : {0, 33, 66}) screenFrame(t);
    EXPECT_EQ(writer("main.mp4")->startWritingCalls(), 0);
    EXPECT_EQ(writer("main.mp4")->status(), AssetWriterStatus::unknown);
    EXPECT_TRUE(appendedTo("main.mp4").empty());
}

// A writer whose start failed is not asked again at every sample: the recording fails
// once, naming its file, and the other files are finished.
struct RefusedStart {
    const char* failing;
    Target target;
    RecordingOptions options = displayRecording();
};
void PrintTo(const RefusedStart& c, std::ostream* out) { *out << c.failing; }

class RefusedStartTest : public EngineTest, public ::testing::WithParamInterface<RefusedStart> {};

TEST_P(RefusedStartTest, IsNotStartedAgainAndFailsTheRecordingOnce) {
    const RefusedStart& c = GetParam();
    writers().setScript(c.failing, platform::fake::FakeAssetWriterScript().fail(FakeOperation::assetWriterStartWriting));
    start(c.target, c.options);
    for (int64_t t = 0; t < 100; t += 10) {
        screenFrame(t);
        captureAudio(kMicrophone, t + 1);
        if (c.options.webcamDestination) webcamFrame(t + 2);
    }
    EXPECT_EQ(writer(c.failing)->startWritingCalls(), 1);
    EXPECT_TRUE(appendedTo(c.failing).empty());
    ASSERT_TRUE(eventually([&] { return events().errorList().size() == 1; }));
    EXPECT_NE(events().errorList()[0].localizedDescription().find(c.failing), std::string::npos)
        << events().errorList()[0].localizedDescription();
    EXPECT_FALSE(writers().fileExists(c.failing));
    EXPECT_TRUE(recorder().hasFailed());
    EXPECT_THROW(recorder().stop(), Error);
    EXPECT_EQ(events().errorList().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedStartTest,
    ::testing::Values(RefusedStart{"main.mp4", Target::screen, withFiles(true, false, true)},
                      RefusedStart{"mic.m4a", Target::screen, withFiles(true, false, true)},
                      RefusedStart{"cam.mp4", Target::screen, withFiles(true, false, true)},
                      RefusedStart{"main.m4a", Target::audioOnly,
                                   withFiles(true, false, false, {.destination = "main.m4a", .targetID = kDisplay})}));

// ---- Settings per codec.

VideoSettings assistantSettings(platform::OutputSettingsPreset preset, platform::FourCharCode codec, int32_t width,
                                int32_t height) {
    auto assistant = platform::OutputSettingsAssistant::make(preset);
    assistant->setSourceVideoFormat(platform::FormatDescription::makeVideo(codec, width, height));
    assistant->setSourceVideoAverageFrameDuration(MediaTime::make(1, 30));  // the options' frame rate
    return *assistant->videoSettings();
}

TEST_F(SampleRoutingTest, VideoSettingsFollowTheCodecAndTheFramesOwnSize) {
    using platform::VideoCodecType;
    using platform::VideoColorPrimaries;
    auto colour = [](VideoColorPrimaries primaries) {
        platform::VideoColorProperties properties;
        properties.colorPrimaries = primaries;
        return properties;
    };
    auto plain = [](VideoCodecType codec, int32_t width, int32_t height, std::optional<platform::VideoColorProperties> colour) {
        VideoSettings settings;
        settings.codec = codec;
        settings.width = width;
        settings.height = height;
        settings.colorProperties = colour;
        return settings;
    };
    auto fromAssistant = [&](platform::OutputSettingsPreset preset, platform::FourCharCode codec, VideoColorPrimaries primaries) {
        VideoSettings settings = assistantSettings(preset, codec, 64, 48);
        settings.width = 64;
        settings.height = 48;
        settings.colorProperties = colour(primaries);
        return settings;
    };
    struct Case {
        VideoCodec codec;
        bool assistant;
        VideoSettings main;
        VideoSettings webcam;
    };
    const Case cases[] = {
        {VideoCodec::h264, true,
         fromAssistant(platform::OutputSettingsPreset::screenH264UpTo4K, platform::fourCharCode("avc1"), VideoColorPrimaries::ituR709_2),
         plain(VideoCodecType::h264, 32, 24, colour(VideoColorPrimaries::ituR709_2))},
        {VideoCodec::hevc, true,
         fromAssistant(platform::OutputSettingsPreset::screenHEVCUpTo8K, platform::fourCharCode("hvc1"), VideoColorPrimaries::p3D65),
         plain(VideoCodecType::hevc, 32, 24, colour(VideoColorPrimaries::p3D65))},
        {VideoCodec::h264, false, plain(VideoCodecType::h264, 64, 48, colour(VideoColorPrimaries::ituR709_2)),
         plain(VideoCodecType::h264, 32, 24, colour(VideoColorPrimaries::ituR709_2))},
        {VideoCodec::proRes422, true, plain(VideoCodecType::proRes422, 64, 48, std::nullopt),
         plain(VideoCodecType::proRes422, 32, 24, std::nullopt)},
        {VideoCodec::proRes4444, true, plain(VideoCodecType::proRes4444, 64, 48, std::nullopt),
         plain(VideoCodecType::proRes4444, 32, 24, std::nullopt)},
    };
    // The assistant's own proposal is not just the codec and size.
    EXPECT_TRUE(cases[0].main.compressionProperties);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.codec.caseName() << (c.assistant ? "" : " without an assistant"));
        writers().setAssistantAvailable(c.assistant);
        RecordingOptions options =
            withFiles(false, false, true, {.destination = "main.mov", .targetID = kDisplay, .videoCodec = c.codec});
        options.webcamDestination = "cam.mov";
        start(Target::screen, options);
        screenFrame(0);
        webcamFrame(5);
        screenFrame(10);
        ASSERT_TRUE(inputOf("main.mov") && inputOf("cam.mov"));
        EXPECT_EQ(std::get<VideoSettings>(inputOf("main.mov")->outputSettings()), c.main);
        EXPECT_EQ(std::get<VideoSettings>(inputOf("cam.mov")->outputSettings()), c.webcam);
        EXPECT_TRUE(inputOf("main.mov")->expectsMediaDataInRealTime());
        EXPECT_TRUE(inputOf("cam.mov")->expectsMediaDataInRealTime());
        recorder().stop();
        for (const char* path : {"main.mov", "cam.mov"}) writers().removeFile(path);
    }
}

TEST_F(SampleRoutingTest, AudioSettingsOfTheMicrophoneAndSystemAudioFiles) {
    struct Case {
        bool lossless;
        AudioSettings system;
        AudioSettings mic;
    };
    auto audio = [](platform::FourCharCode format, double rate, int32_t channels, std::optional<int64_t> bitRate,
                    std::optional<int32_t> depth) {
        AudioSettings settings;
        settings.formatID = format;
        settings.sampleRate = rate;
        settings.numberOfChannels = channels;
        settings.encoderBitRate = bitRate;
        settings.encoderBitDepthHint = depth;
        return settings;
    };
    using namespace platform::audio_format;
    const Case cases[] = {
        {false, audio(mpeg4AAC, 48000, 2, std::nullopt, std::nullopt), audio(mpeg4AAC, 44100, 1, 96000, std::nullopt)},
        {true, audio(appleLossless, 48000, 2, std::nullopt, 16), audio(appleLossless, 44100, 1, std::nullopt, 16)},
    };
    for (const auto& c : cases) {
        RecordingOptions options = withFiles(true, true, false);
        options.losslessAudio = c.lossless;
        options.microphoneAudioQuality = {44100, 96000};
        start(Target::screen, options);
        EXPECT_EQ(std::get<AudioSettings>(inputOf("sys.m4a")->outputSettings()), c.system);
        EXPECT_EQ(std::get<AudioSettings>(inputOf("mic.m4a")->outputSettings()), c.mic);
        EXPECT_TRUE(inputOf("mic.m4a")->expectsMediaDataInRealTime());
        EXPECT_EQ(writer("mic.m4a")->outputFileType(), platform::FileType::appleM4A);
        EXPECT_EQ(writer("sys.m4a")->outputFileType(), platform::FileType::appleM4A);
        recorder().stop();
    }
}

TEST_F(SampleRoutingTest, TheMainFileTypeFollowsItsExtension) {
    const std::pair<const char*, platform::FileType> cases[] = {{"main.mp4", platform::FileType::mpeg4},
                                                                {"main.mov", platform::FileType::quickTimeMovie},
                                                                {"main.m4v", platform::FileType::appleM4V}};
    for (const auto& [path, type] : cases) {
        start(Target::screen, {.destination = path, .targetID = kDisplay});
        EXPECT_EQ(writer(path)->outputFileType(), type) << path;
        recorder().stop();
    }
    // A .mov file takes every codec.
    for (auto codec : {VideoCodec::proRes422, VideoCodec::proRes4444}) {
        start(Target::screen, {.destination = "pro.mov", .targetID = kDisplay, .videoCodec = codec});
        recorder().stop();
    }
}

TEST_F(SampleRoutingTest, AWebcamResolutionSetsTheCaptureSessionPreset) {
    const std::pair<std::optional<Dovezode::WebcamResolution>, const char*> cases[] = {
        {std::nullopt, "high"},
        {Dovezode::WebcamResolution::hd720p, "1280x720"},
        {Dovezode::WebcamResolution::hd1080p, "1920x1080"},
        {Dovezode::WebcamResolution::uhd4K, "3840x2160"},
    };
    for (const auto& [resolution, preset] : cases) {
        RecordingOptions options = withFiles(false, false, true);
        options.webcamResolution = resolution;
        start(Target::screen, options);
        auto session = sessions().sessions().back();
        EXPECT_EQ(session->sessionPreset(), preset);
        EXPECT_TRUE(session->isRunning());
        EXPECT_EQ(session->openConfigurations(), 0);
        ASSERT_EQ(session->outputs().size(), 1u);
        EXPECT_EQ(session->outputs().front()->queue()->label(), "webcamQueue");
        EXPECT_TRUE(session->outputs().front()->queue()->isSerial());
        recorder().stop();
        EXPECT_FALSE(session->isRunning());
    }
}

} // namespace
} // namespace engine_test
