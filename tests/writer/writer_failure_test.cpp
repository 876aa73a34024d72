// What the FFmpeg writer refuses and how it fails.

#include "writer_test_support.h"

#include "media_tools.h"
#include "platform/linux/ffmpeg_asset_writers.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace platform;
using namespace writer_test;

namespace {

VideoSettings h264(int32_t width, int32_t height) {
    VideoSettings settings;
    settings.codec = VideoCodecType::h264;
    settings.width = width;
    settings.height = height;
    return settings;
}

std::shared_ptr<AssetWriters> writers() { return linux_backend::makeFfmpegAssetWriters(); }

TEST(WriterCreation, FileThatCannotBeCreatedFailsWithTheCauseAndThePath) {
    test_support::TemporaryDirectory folder;
    const std::string existing = folder.file("taken.mp4");
    std::ofstream(existing) << "someone else's recording";
    const struct {
        std::string path;
        std::string cause;
    } cases[] = {{folder.file("missing/folder/out.mp4"), "No such file or directory"},
                 {existing, "File exists"}};
    for (const auto& c : cases) {
        try {
            writers()->makeWriter(c.path, FileType::mpeg4);
            ADD_FAILURE() << "no error for " << c.path;
        } catch (const PlatformError& error) {
            EXPECT_NE(error.localizedDescription().find(c.path), std::string::npos) << error.localizedDescription();
            EXPECT_NE(error.localizedDescription().find(c.cause), std::string::npos) << error.localizedDescription();
        }
    }
    std::ifstream kept(existing);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "someone else's recording");
}

TEST(WriterCreation, ALinkOrANulInThePathIsRefusedAndNothingIsWrittenThrough) {
    test_support::TemporaryDirectory folder;
    const std::string target = folder.file("precious.txt");
    std::ofstream(target) << "someone else's data";
    const std::string link = folder.file("link.mp4");
    std::filesystem::create_symlink(target, link);
    const std::string dangling = folder.file("dangling.mp4");
    std::filesystem::create_symlink(folder.file("nowhere.mp4"), dangling);
    const std::string nul = folder.file(std::string("nul\0byte.mp4", 12));
    for (const auto& path : {link, dangling, nul}) {
        EXPECT_THROW(writers()->makeWriter(path, FileType::mpeg4), PlatformError) << path;
    }
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "someone else's data");
    EXPECT_FALSE(std::filesystem::exists(folder.file("nowhere.mp4")));
    EXPECT_FALSE(std::filesystem::exists(folder.file("nul")));
}

// The created file swapped for a link to another file before the first sample: the
// writer writes through the file it created, never by its name again, so the link's
// target stays as it was, and the recording is refused rather than lost unseen.
TEST(WriterCreation, ThePathSwappedForALinkBeforeTheFirstSampleNeverReachesTheLinksTarget) {
    const struct {
        const char* name;
        FileType fileType;
        bool video;
    } kinds[] = {{"swapped.mp4", FileType::mpeg4, true},
                 {"swapped.mov", FileType::quickTimeMovie, true},
                 {"swapped.m4v", FileType::appleM4V, true},
                 {"swapped.m4a", FileType::appleM4A, false}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        test_support::TemporaryDirectory folder;
        const std::string target = folder.file("precious.txt");
        std::ofstream(target) << "someone else's data";
        const std::string path = folder.file(kind.name);
        auto w = writers();
        auto writer = w->makeWriter(path, kind.fileType);
        auto input = kind.video ? w->makeInput(MediaType::video, h264(64, 48))
                                : w->makeInput(MediaType::audio, AudioSettings{});
        writer->addInput(input);
        // A neighbour replaces the empty file with a link, as rename(2) does at once.
        const std::string staged = folder.file("staged-link");
        std::filesystem::create_symlink(target, staged);
        std::filesystem::rename(staged, path);

        if (writer->startWriting()) {
            writer->startSession(MediaTime::zero());
            for (int i = 0; i < 5; ++i) {
                input->append(kind.video ? videoFrame(64, 48, MediaTime::make(i, 30), MediaTime::make(1, 30), i)
                                         : audioBuffer(48000, 2, 1024, MediaTime::make(i * 1024, 48000),
                                                       [](int64_t, uint32_t) { return 0.25f; }));
            }
        }
        writer->finishWriting();
        EXPECT_EQ(writer->status(), AssetWriterStatus::failed);
        ASSERT_TRUE(writer->error());
        EXPECT_NE(writer->error()->localizedDescription().find(path), std::string::npos)
            << writer->error()->localizedDescription();
        std::ifstream kept(target);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "someone else's data");
        EXPECT_TRUE(std::filesystem::is_symlink(path));  // the neighbour's link is not removed either
    }
}

// Swapped after writing began: what was written stays in the file the writer
// created, the link's target is untouched, and finishing reports the failure.
TEST(WriterCreation, ThePathSwappedWhileWritingIsReportedAndTheLinksTargetStaysUnchanged) {
    test_support::TemporaryDirectory folder;
    const std::string target = folder.file("precious.txt");
    std::ofstream(target) << "someone else's data";
    const std::string path = folder.file("late.mp4");
    auto w = writers();
    auto writer = w->makeWriter(path, FileType::mpeg4);
    auto input = w->makeInput(MediaType::video, h264(64, 48));
    writer->addInput(input);
    ASSERT_TRUE(writer->startWriting());
    writer->startSession(MediaTime::zero());
    ASSERT_TRUE(input->append(videoFrame(64, 48, MediaTime::zero(), MediaTime::make(1, 30), 0)));
    const std::string staged = folder.file("staged-link");
    std::filesystem::create_symlink(target, staged);
    std::filesystem::rename(staged, path);
    for (int i = 1; i < 5; ++i) input->append(videoFrame(64, 48, MediaTime::make(i, 30), MediaTime::make(1, 30), i));
    writer->finishWriting();
    EXPECT_EQ(writer->status(), AssetWriterStatus::failed);
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "someone else's data");
}

TEST(WriterInputs, CanAddInputRefusesWhatTheFileCannotHold) {
    test_support::TemporaryDirectory folder;
    auto w = writers();
    VideoSettings noSize;
    const struct {
        const char* name;
        FileType fileType;
        MediaType mediaType;
        OutputSettings settings;
    } cases[] = {
        {"ProRes in mp4", FileType::mpeg4, MediaType::video, VideoSettings{VideoCodecType::proRes422, 64, 48, {}, {}}},
        {"ProRes in m4v", FileType::appleM4V, MediaType::video, VideoSettings{VideoCodecType::proRes4444, 64, 48, {}, {}}},
        {"video in m4a", FileType::appleM4A, MediaType::video, h264(64, 48)},
        {"video without a size", FileType::mpeg4, MediaType::video, noSize},
        {"AAC at a rate it has not", FileType::appleM4A, MediaType::audio, AudioSettings{audio_format::mpeg4AAC, 47000, 2, {}, {}}},
        {"unknown audio format", FileType::appleM4A, MediaType::audio, AudioSettings{fourCharCode("opus"), 48000, 2, {}, {}}},
        {"no channels", FileType::appleM4A, MediaType::audio, AudioSettings{audio_format::mpeg4AAC, 48000, 0, {}, {}}},
        {"AAC at a negative bit rate", FileType::appleM4A, MediaType::audio, AudioSettings{audio_format::mpeg4AAC, 48000, 1, -1, {}}},
        {"AAC at 1 bit/s", FileType::appleM4A, MediaType::audio, AudioSettings{audio_format::mpeg4AAC, 48000, 2, 1, {}}},
        {"AAC just below the lowest bit rate", FileType::appleM4A, MediaType::audio,
         AudioSettings{audio_format::mpeg4AAC, 44100, 1, kMinimumAacBitRate - 1, {}}},
    };
    int index = 0;
    for (const auto& c : cases) {
        auto writer = w->makeWriter(folder.file("refuse" + std::to_string(index++) + ".mp4"), c.fileType);
        EXPECT_FALSE(writer->canAddInput(w->makeInput(c.mediaType, c.settings))) << c.name;
    }

    // An input belongs to one writer, and inputs are added before writing starts.
    auto first = w->makeWriter(folder.file("first.mp4"), FileType::mpeg4);
    auto second = w->makeWriter(folder.file("second.mp4"), FileType::mpeg4);
    auto input = w->makeInput(MediaType::video, h264(64, 48));
    first->addInput(input);
    EXPECT_FALSE(second->canAddInput(input));
    EXPECT_THROW(second->addInput(input), std::logic_error);
    ASSERT_TRUE(first->startWriting());
    EXPECT_FALSE(first->canAddInput(w->makeInput(MediaType::video, h264(64, 48))));
    EXPECT_FALSE(first->startWriting()) << "a second start";
    EXPECT_THROW(w->makeInput(MediaType::audio, h264(64, 48)), std::invalid_argument);
}

TEST(WriterAppend, RefusesSamplesThatCannotBeWrittenAndKeepsWriting) {
    test_support::TemporaryDirectory folder;
    auto w = writers();
    const std::string path = folder.file("refusals.mp4");
    auto writer = w->makeWriter(path, FileType::mpeg4);
    auto input = w->makeInput(MediaType::video, h264(64, 48));
    writer->addInput(input);
    const MediaTime start = MediaTime::make(100, 10);
    const auto at = [](int64_t tenths) { return videoFrame(64, 48, MediaTime::make(tenths, 10), MediaTime::make(1, 10), int(tenths)); };

    EXPECT_FALSE(input->append(at(100))) << "before startWriting";
    ASSERT_TRUE(writer->startWriting());
    EXPECT_FALSE(input->isReadyForMoreMediaData()) << "before the session start";
    EXPECT_FALSE(input->append(at(100))) << "before the session start";
    writer->startSession(start);
    EXPECT_FALSE(input->append(at(99))) << "earlier than the session start";
    EXPECT_TRUE(input->append(at(100)));
    EXPECT_FALSE(input->append(at(100))) << "same time as the previous frame";
    EXPECT_TRUE(input->append(at(101)));
    EXPECT_FALSE(input->append(audioBuffer(48000, 2, 480, MediaTime::make(102, 10), [](int64_t, uint32_t) { return 0.f; })))
        << "audio into a video input";
    input->markAsFinished();
    EXPECT_FALSE(input->append(at(103))) << "after markAsFinished";
    EXPECT_FALSE(input->isReadyForMoreMediaData());
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed);
    EXPECT_EQ(number(probe(path)["streams"][0]["nb_read_packets"]), 2);
}

TEST(WriterFinish, WriterThatNeverReceivedASampleLeavesNoFile) {
    test_support::TemporaryDirectory folder;
    auto w = writers();
    const struct {
        const char* name;
        bool addInput;
        bool start;
        bool finish;
    } cases[] = {{"never started", true, false, true},
                 {"started without inputs", false, true, true},
                 {"started, input without samples", true, true, true},
                 {"dropped without finishing", true, true, false}};
    int index = 0;
    for (const auto& c : cases) {
        const std::string path = folder.file("empty" + std::to_string(index++) + ".mp4");
        {
            auto writer = w->makeWriter(path, FileType::mpeg4);
            if (c.addInput) writer->addInput(w->makeInput(MediaType::video, h264(64, 48)));
            if (c.start) {
                ASSERT_TRUE(writer->startWriting()) << c.name;
                writer->startSession(MediaTime::zero());
            }
            if (c.finish) writer->finishWriting();
            if (c.start && c.finish) {
                EXPECT_EQ(writer->status(), AssetWriterStatus::completed) << c.name;
            }
        }
        EXPECT_FALSE(std::filesystem::exists(path)) << c.name;
    }
}

TEST(WriterFinish, DroppingAWritingWriterCompletesItsFile) {
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("dropped.mp4");
    {
        auto w = writers();
        auto writer = w->makeWriter(path, FileType::mpeg4);
        auto input = w->makeInput(MediaType::video, h264(64, 48));
        writer->addInput(input);
        ASSERT_TRUE(writer->startWriting());
        writer->startSession(MediaTime::zero());
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(input->append(videoFrame(64, 48, MediaTime::make(i, 30), MediaTime::make(1, 30), i)));
    }
    EXPECT_EQ(number(probe(path)["streams"][0]["nb_read_packets"]), 5);
}

// Appends frames until the writer fails (or the frames run out), waiting for room.
void appendUntilFailed(AssetWriter& writer, AssetWriterInput& input, int frames, int32_t width, int32_t height,
                       bool noise) {
    for (int i = 0; i < frames && writer.status() == AssetWriterStatus::writing; ++i) {
        while (!input.isReadyForMoreMediaData() && writer.status() == AssetWriterStatus::writing)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        input.append(videoFrame(width, height, MediaTime::make(i, 30), MediaTime::make(1, 30), i,
                                pixel_format::bgra, noise));
    }
}

// A writer with one real-time H.264 input of the size, writing, its session started at 0.
struct RealTimeVideoWriter {
    RealTimeVideoWriter(const std::string& path, int32_t width, int32_t height) {
        auto w = writers();
        writer = w->makeWriter(path, FileType::mpeg4);
        input = w->makeInput(MediaType::video, h264(width, height));
        input->setExpectsMediaDataInRealTime(true);
        writer->addInput(input);
        started = writer->startWriting();
        if (started) writer->startSession(MediaTime::zero());
    }
    std::shared_ptr<AssetWriter> writer;
    std::shared_ptr<AssetWriterInput> input;
    bool started = false;
};

// While it lives, writes past `bytes` fail with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : previousHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    void (*previousHandler_)(int);
    rlimit previous_{};
};

TEST(WriterFailure, FrameOfAnotherSizeFailsTheWriterAndTheEarlierFramesStayReadable) {
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("resized.mp4");
    RealTimeVideoWriter video(path, 64, 48);
    ASSERT_TRUE(video.started);
    auto& writer = video.writer;
    auto& input = video.input;
    appendUntilFailed(*writer, *input, 3, 64, 48, false);
    input->append(videoFrame(32, 24, MediaTime::make(3, 30), MediaTime::make(1, 30), 3));
    while (writer->status() == AssetWriterStatus::writing) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    EXPECT_EQ(writer->status(), AssetWriterStatus::failed);
    ASSERT_TRUE(writer->error());
    EXPECT_NE(writer->error()->localizedDescription().find("32x24"), std::string::npos);
    EXPECT_FALSE(input->isReadyForMoreMediaData());
    EXPECT_FALSE(input->append(videoFrame(64, 48, MediaTime::make(4, 30), MediaTime::make(1, 30), 4)));
    writer->finishWriting();
    EXPECT_EQ(writer->status(), AssetWriterStatus::failed);
    EXPECT_EQ(number(probe(path)["streams"][0]["nb_read_packets"]), 3);
}

TEST(WriterFailure, DiskRefusingWritesFailsTheWriterAndFinishingStillReturns) {
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("full.mp4");
    RealTimeVideoWriter video(path, 320, 240);
    ASSERT_TRUE(video.started);
    auto& writer = video.writer;
    auto& input = video.input;

    {
        // A file-size limit makes the disk refuse the writes past 64 KiB (EFBIG).
        FileSizeLimit limit(64 * 1024);
        appendUntilFailed(*writer, *input, 300, 320, 240, true);
        writer->finishWriting();
    }

    EXPECT_EQ(writer->status(), AssetWriterStatus::failed);
    ASSERT_TRUE(writer->error());
    EXPECT_NE(writer->error()->localizedDescription().find(path), std::string::npos)
        << writer->error()->localizedDescription();
}

// Under a file-size limit the writer stops short of it, keeping room for the index:
// the frames written before the failure read back to the end.
TEST(WriterFailure, AFileAtTheFileSizeLimitKeepsRoomForItsIndexAndReadsToTheEnd) {
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("limited.mp4");
    RealTimeVideoWriter video(path, 320, 240);
    ASSERT_TRUE(video.started);
    auto& writer = video.writer;
    auto& input = video.input;

    constexpr rlim_t kLimit = 1024 * 1024;
    {
        FileSizeLimit limit(kLimit);
        appendUntilFailed(*writer, *input, 300, 320, 240, true);
        writer->finishWriting();
    }

    EXPECT_EQ(writer->status(), AssetWriterStatus::failed);
    ASSERT_TRUE(writer->error());
    const std::string message = writer->error()->localizedDescription();
    EXPECT_NE(message.find(path), std::string::npos) << message;
    EXPECT_NE(message.find("File too large"), std::string::npos) << message;
    EXPECT_LE(std::filesystem::file_size(path), kLimit);
    auto probed = probe(path);
    ASSERT_TRUE(probed.contains("streams")) << "the file has no index";
    EXPECT_GT(number(probed["streams"][0]["nb_read_packets"]), 0);
}

// An end put in the past, where another file of the recording failed, after the frames
// past it were already taken: the video is cut there, and what is left decodes cleanly.
// The encoder reorders frames (B-frames refer to the frame after them), so a frame at
// or after the end that an earlier one refers to cannot simply be left out.
TEST(WriterFailure, AnEndPutInThePastCutsTheVideoAndWhatIsLeftDecodesCleanly) {
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("cut.mp4");
    auto w = writers();
    auto writer = w->makeWriter(path, FileType::mpeg4);
    auto input = w->makeInput(MediaType::video, h264(320, 240));
    writer->addInput(input);
    ASSERT_TRUE(writer->startWriting());
    writer->startSession(MediaTime::zero());
    for (int i = 0; i < 90; ++i)
        ASSERT_TRUE(input->append(videoFrame(320, 240, MediaTime::make(i, 30), MediaTime::make(1, 30), i)));
    const MediaTime end = MediaTime::make(61, 30);
    writer->endSession(end);
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed);

    EXPECT_EQ(run(test_support::ffmpegPath() + " -v error -i '" + path + "' -f null - 2>&1"), "");
    const std::string times = run("ffprobe -v error -select_streams v -show_entries frame=pts_time -of csv=p=0 '" +
                                  path + "'");
    std::istringstream lines(times);
    double last = -1;
    int frames = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        last = std::max(last, std::stod(line));
        ++frames;
    }
    EXPECT_LT(last, end.seconds());
    // Up to a few frames short of the end: the frames before it that refer to a later one go too.
    EXPECT_GE(frames, 55);
}

} // namespace
