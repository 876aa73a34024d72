// Frames of the X11 screen stream written through the real FFmpeg asset writer
// into an mp4 that ffprobe reads back: the configured size, and about as many
// frames as the frame rate and the file's duration say.

#include "capture_support.h"
#include "media_tools.h"
#include "private_servers.h"
#include "temporary_directory.h"

#include "platform/asset_writer.h"
#include "platform/linux/ffmpeg_asset_writers.h"
#include "platform/linux/linux_platform.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using namespace test_support;

nlohmann::json probe(const std::string& path) { return ffprobe(path, {"-count_packets"}); }

double number(const nlohmann::json& value) { return value.is_string() ? std::stod(value.get<std::string>()) : value.get<double>(); }

TEST(StreamToFile, ScreenFramesBecomeAPlayableFileOfTheRightSizeAndFrameCount) {
    PrivateXServer x;
    ASSERT_TRUE(x.started());
    XTestClient client;
    auto window = client.window(0, 0, 640, 360, {200, 0, 0});
    std::atomic<bool> painting{true};
    std::thread painter([&] {  // a picture that changes all the time
        XTestClient painterClient;
        for (uint8_t shade = 0; painting; shade += 7) {
            painterClient.fill(window, {shade, uint8_t(255 - shade), 80});
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    });

    test_support::TemporaryDirectory folder;
    const std::string path = folder.path() + "/screen.mp4";
    constexpr int kFps = 30;
    auto writers = platform::linux_backend::makeFfmpegAssetWriters();
    auto writer = writers->makeWriter(path, platform::FileType::mpeg4);
    platform::VideoSettings settings;
    settings.codec = platform::VideoCodecType::h264;
    settings.width = 640;
    settings.height = 360;
    auto input = writers->makeInput(platform::MediaType::video, settings);
    input->setExpectsMediaDataInRealTime(true);
    ASSERT_TRUE(writer->canAddInput(input));
    writer->addInput(input);
    ASSERT_TRUE(writer->startWriting());

    auto collector = std::make_shared<Collector>();
    collector->keepsSamples = false;  // the stream's frame memory is bounded: a consumer must let go
    std::atomic<int> appended{0};
    bool sessionStarted = false;  // used on the serial output queue only
    std::mutex appendedMutex;
    std::condition_variable appendedMore;
    collector->onSample = [&](const platform::SampleBufferRef& frame) {
        if (frame->frameStatus() != platform::FrameStatus::complete) return;
        if (!sessionStarted) {
            writer->startSession(frame->presentationTimeStamp());
            sessionStarted = true;
        }
        if (input->isReadyForMoreMediaData() && input->append(frame)) {
            std::lock_guard guard(appendedMutex);
            ++appended;
            appendedMore.notify_all();
        }
    };
    platform::StreamConfiguration configuration;
    configuration.minimumFrameInterval = platform::MediaTime::make(1, kFps);
    configuration.pixelFormat = platform::pixel_format::bgra;
    configuration.sourceRect = platform::Rect{{0, 0}, {640, 360}};
    configuration.width = 640;
    configuration.height = 360;
    configuration.showsCursor = true;
    auto stream = platform::linux_backend::makeLinuxPlatform()->streams->makeStream(
        platform::ContentFilter::displayExcludingWindows(wholeScreen(), {}), configuration, {});
    stream->addStreamOutput(collector, platform::StreamOutputType::screen, platform::makeSerialQueue("screen"));
    stream->startCapture();
    // About two seconds of frames, counted rather than timed: a busy machine takes longer.
    constexpr int kFrames = 2 * kFps;
    {
        std::unique_lock lock(appendedMutex);
        EXPECT_TRUE(appendedMore.wait_for(lock, std::chrono::seconds(60), [&] { return appended >= kFrames; }))
            << appended << " frames appended";
    }
    stream->stopCapture();
    painting = false;
    painter.join();
    writer->finishWriting();
    ASSERT_EQ(writer->status(), platform::AssetWriterStatus::completed)
        << (writer->error() ? writer->error()->description() : "");

    auto info = probe(path);
    ASSERT_TRUE(info.is_object()) << "ffprobe could not read the file";
    ASSERT_EQ(info["streams"].size(), 1u);
    const auto& video = info["streams"][0];
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], 640);
    EXPECT_EQ(video["height"], 360);
    const double frames = number(video["nb_read_packets"]);
    EXPECT_EQ(frames, appended.load()) << "every appended frame is in the file";
    const double duration = number(video["duration"]);
    // Frames are paced by the frame interval: never more than the frame rate allows. A
    // machine busy with other work misses ticks (the painter's or the grabber's), so the
    // file may run longer than its frames at the full rate; measured on a quiet machine
    // by the recording benchmark, here it must only be plausible.
    EXPECT_GE(duration, (kFrames - 1) / double(kFps) - 0.01);
    EXPECT_LE(frames, duration * kFps + 2);
    EXPECT_GE(frames, 0.5 * duration * kFps);
}

} // namespace
