// The fake writers record what the caller asked and refuse as scripted.

#include "writer_test_support.h"

#include "platform/fake/fake_asset_writer.h"
#include "platform/fake/fake_platform.h"
#include "platform/linux/ffmpeg_asset_writers.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace platform;
using namespace platform::fake;
using namespace writer_test;

namespace {

TEST(FakeAssetWriters, RecordWritersInputsAppendedTimesAndFinishOrder) {
    auto platform = makeFakePlatform();
    auto writers = std::dynamic_pointer_cast<FakeAssetWriters>(platform->assetWriters);
    ASSERT_TRUE(writers);

    auto video = writers->makeWriter("main.mp4", FileType::mpeg4);
    auto mic = writers->makeWriter("mic.m4a", FileType::appleM4A);
    const AudioSettings micSettings{audio_format::mpeg4AAC, 48000, 1, 192000, {}};
    auto micInput = writers->makeInput(MediaType::audio, micSettings);
    micInput->setExpectsMediaDataInRealTime(true);
    ASSERT_TRUE(mic->canAddInput(micInput));
    mic->addInput(micInput);
    ASSERT_TRUE(mic->startWriting());
    EXPECT_FALSE(micInput->append(audioBuffer(48000, 1, 480, MediaTime::make(5, 1), [](int64_t, uint32_t) { return 0.f; })))
        << "no session yet";
    mic->startSession(MediaTime::make(5, 1));
    ASSERT_TRUE(micInput->append(audioBuffer(48000, 1, 480, MediaTime::make(5, 1), [](int64_t, uint32_t) { return 0.f; })));
    mic->finishWriting();
    video->finishWriting();

    const auto recorded = writers->writer("mic.m4a");
    ASSERT_EQ(recorded->fakeInputs().size(), 1u);
    const auto& input = *recorded->fakeInputs()[0];
    EXPECT_EQ(std::get<AudioSettings>(input.outputSettings()), micSettings);
    EXPECT_TRUE(input.expectsMediaDataInRealTime());
    ASSERT_EQ(input.appended().size(), 1u);
    EXPECT_EQ(input.appended()[0].presentationTime, MediaTime::make(5, 1));
    EXPECT_EQ(input.appended()[0].duration, MediaTime::make(480, 48000));
    EXPECT_EQ(input.refusedAppends(), 1u);
    EXPECT_TRUE(input.isMarkedAsFinished());
    EXPECT_EQ(recorded->sessionStartTime(), MediaTime::make(5, 1));
    EXPECT_EQ(recorded->status(), AssetWriterStatus::completed);
    EXPECT_EQ(writers->finishOrder(), (std::vector<std::string>{"mic.m4a", "main.mp4"}));
    EXPECT_EQ(video->status(), AssetWriterStatus::unknown) << "finishing a writer that never started";
}

TEST(FakeAssetWriters, ScriptedRefusals) {
    FakeAssetWriters writers;
    const auto script = [](auto change) {
        FakeAssetWriterScript script;
        change(script);
        return script;
    };
    writers.setScript("refuses-input.mp4", script([](auto& s) { s.fail(FakeOperation::assetWriterAddInput); }));
    writers.setScript("refuses-start.mp4", script([](auto& s) { s.fail(FakeOperation::assetWriterStartWriting); }));
    writers.setScript("refuses-appends.mp4", script([](auto& s) { s.fail(FakeOperation::assetWriterInputAppend); }));
    writers.setScript("not-ready.mp4", script([](auto& s) { s.inputsReady = false; }));
    writers.setScript("cannot-create.mp4", script([](auto& s) {
                          s.fail(FakeOperation::assetWritersMakeWriter, PlatformError("NSCocoaErrorDomain", 513, "denied"));
                      }));
    EXPECT_THROW(FakeAssetWriterScript().fail(FakeOperation::streamStartCapture), std::invalid_argument)
        << "a writer's script takes only the writer's operations";
    writers.setAssistantAvailable(false);

    VideoSettings settings{VideoCodecType::h264, 64, 48, {}, {}};
    EXPECT_FALSE(writers.makeWriter("refuses-input.mp4", FileType::mpeg4)
                     ->canAddInput(writers.makeInput(MediaType::video, settings)));

    auto refusesStart = writers.makeWriter("refuses-start.mp4", FileType::mpeg4);
    EXPECT_FALSE(refusesStart->startWriting());
    EXPECT_EQ(refusesStart->status(), AssetWriterStatus::failed);
    EXPECT_TRUE(refusesStart->error());

    for (const char* path : {"refuses-appends.mp4", "not-ready.mp4"}) {
        auto writer = writers.makeWriter(path, FileType::mpeg4);
        auto input = writers.makeInput(MediaType::video, settings);
        writer->addInput(input);
        ASSERT_TRUE(writer->startWriting());
        writer->startSession(MediaTime::zero());
        EXPECT_EQ(input->isReadyForMoreMediaData(), std::string(path) == "refuses-appends.mp4") << path;
        EXPECT_FALSE(input->append(videoFrame(64, 48, MediaTime::zero(), MediaTime::make(1, 30), 0))) << path;
        EXPECT_EQ(writers.writer(path)->fakeInputs()[0]->refusedAppends(), 1u) << path;
    }
    EXPECT_THROW(writers.makeWriter("cannot-create.mp4", FileType::mpeg4), PlatformError);
    EXPECT_FALSE(writers.outputSettingsAssistant(OutputSettingsPreset::screenH264UpTo4K));

    auto failing = writers.makeWriter("fails-later.mp4", FileType::mpeg4);
    ASSERT_TRUE(failing->startWriting());
    writers.writer("fails-later.mp4")->failWriting(PlatformError("AssetWriterErrorDomain", -28, "disk full"));
    EXPECT_EQ(failing->status(), AssetWriterStatus::failed);
    failing->finishWriting();
    EXPECT_EQ(failing->status(), AssetWriterStatus::failed);
}

// The platform's failure script reaches every writer: each scripted call fails once, the next one works.
TEST(FakeAssetWriters, ThePlatformsFailureScriptFailsTheNextCallOfEveryWriterOperation) {
    FakePlatform fake;
    auto& writers = dynamic_cast<FakeAssetWriters&>(*fake.platform()->assetWriters);
    const PlatformError refused("AssetWriterErrorDomain", -5, "refused");
    VideoSettings settings{VideoCodecType::h264, 64, 48, {}, {}};
    const auto frame = [](int index) {
        return videoFrame(64, 48, MediaTime::make(index, 30), MediaTime::make(1, 30), 0);
    };

    fake.failures().failNext(FakeOperation::assetWritersMakeWriter, refused);
    EXPECT_THROW(writers.makeWriter("a.mp4", FileType::mpeg4), PlatformError);
    auto writer = writers.makeWriter("a.mp4", FileType::mpeg4);

    auto input = writers.makeInput(MediaType::video, settings);
    fake.failures().failNext(FakeOperation::assetWriterAddInput, refused);
    EXPECT_FALSE(writer->canAddInput(input));
    ASSERT_TRUE(writer->canAddInput(input));
    writer->addInput(input);

    fake.failures().failNext(FakeOperation::assetWriterStartWriting, refused);
    EXPECT_FALSE(writer->startWriting());
    EXPECT_EQ(writer->status(), AssetWriterStatus::failed);
    ASSERT_TRUE(writer->error());
    EXPECT_EQ(writer->error()->code(), refused.code());

    auto second = writers.makeWriter("b.mp4", FileType::mpeg4);
    auto secondInput = writers.makeInput(MediaType::video, settings);
    second->addInput(secondInput);
    ASSERT_TRUE(second->startWriting());
    second->startSession(MediaTime::zero());
    fake.failures().failNext(FakeOperation::assetWriterInputAppend, refused);
    EXPECT_FALSE(secondInput->append(frame(0)));
    EXPECT_TRUE(secondInput->append(frame(1)));
    EXPECT_EQ(writers.writer("b.mp4")->fakeInputs()[0]->appended().size(), 1u);
}

} // namespace

namespace {

// What the fake writer refuses for a path or a time, it refuses as the Linux writer does.
TEST(FakeAndLinuxWriters, RefuseAnExistingFileAndFramesOutsideTheSession) {
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("both.mp4");
    auto fakeWriters = std::dynamic_pointer_cast<FakeAssetWriters>(makeFakePlatform()->assetWriters);
    const std::pair<const char*, std::shared_ptr<AssetWriters>> backends[] = {
        {"fake", fakeWriters}, {"linux", linux_backend::makeFfmpegAssetWriters()}};
    const MediaTime start = MediaTime::make(10, 1);
    for (const auto& [name, writers] : backends) {
        SCOPED_TRACE(name);
        auto writer = writers->makeWriter(path, FileType::mpeg4);
        EXPECT_THROW(writers->makeWriter(path, FileType::mpeg4), PlatformError) << "the file exists";
        VideoSettings settings;
        settings.width = 64;
        settings.height = 48;
        auto input = writers->makeInput(MediaType::video, settings);
        input->setExpectsMediaDataInRealTime(true);
        writer->addInput(input);
        ASSERT_TRUE(writer->startWriting());
        writer->startSession(start);
        auto frame = [](MediaTime at) { return videoFrame(64, 48, at, MediaTime::invalid(), 0); };
        EXPECT_FALSE(input->append(frame(start - MediaTime::make(1, 100)))) << "before the session start";
        EXPECT_TRUE(input->append(frame(start)));
        EXPECT_FALSE(input->append(frame(start))) << "not after the previous frame";
        EXPECT_TRUE(input->append(frame(start + MediaTime::make(1, 10))));
        writer->endSession(start + MediaTime::make(1, 1));
        EXPECT_FALSE(input->append(frame(start + MediaTime::make(1, 1)))) << "at the session end";
        input->markAsFinished();
        writer->finishWriting();
        EXPECT_EQ(writer->status(), AssetWriterStatus::completed);
        EXPECT_THROW(writers->makeWriter(path, FileType::mpeg4), PlatformError) << "the finished file exists";
        std::filesystem::remove(path);
    }
    // A writer released without a sample leaves no file behind.
    {
        auto unused = fakeWriters->makeWriter("unused.mp4", FileType::mpeg4);
        EXPECT_TRUE(fakeWriters->fileExists("unused.mp4"));
    }
    EXPECT_FALSE(fakeWriters->fileExists("unused.mp4"));
    EXPECT_NO_THROW(fakeWriters->makeWriter("unused.mp4", FileType::mpeg4));
}

} // namespace
