// A real-time input behind a deliberately small queue whose encoder is held up:
// appends beyond the queue are refused through the ready flag, nothing blocks,
// and the file holds exactly the accepted frames. An input that is not real-time
// waits for room instead and loses nothing.

#include "writer_test_support.h"

#include "platform/linux/ffmpeg_asset_writers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace platform;
using namespace writer_test;

namespace {

const MediaTime kFrameDuration = MediaTime::make(1, 30);

// Holds the writer thread before each sample until opened.
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [&] { return open_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }

private:
    std::mutex mutex_;  // guards open_
    std::condition_variable opened_;
    bool open_ = false;
};

struct Writing {
    std::shared_ptr<AssetWriter> writer;
    std::shared_ptr<AssetWriterInput> input;
};

Writing startVideoWriter(AssetWriters& writers, const std::string& path, bool realTime) {
    Writing w;
    w.writer = writers.makeWriter(path, FileType::mpeg4);
    VideoSettings settings;
    settings.codec = VideoCodecType::h264;
    settings.width = 64;
    settings.height = 48;
    w.input = writers.makeInput(MediaType::video, settings);
    w.input->setExpectsMediaDataInRealTime(realTime);
    w.writer->addInput(w.input);
    EXPECT_TRUE(w.writer->startWriting());
    w.writer->startSession(MediaTime::zero());
    return w;
}

SampleBufferRef frame(int index) {
    return videoFrame(64, 48, MediaTime::make(index, 30), kFrameDuration, index);
}

TEST(RealTimeInput, FullQueueRefusesThroughTheReadyFlagAndTheFileHoldsExactlyTheAcceptedFrames) {
    constexpr size_t kQueue = 2;
    Gate gate;
    linux_backend::FfmpegAssetWriterOptions options;
    options.realTimeVideoQueueCapacity = kQueue;
    options.beforeEachSample = [&] { gate.wait(); };
    auto writers = linux_backend::makeFfmpegAssetWriters(options);
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("slow.mp4");
    auto [writer, input] = startVideoWriter(*writers, path, true);

    // The encoder is held: the caller checks the flag as a capture callback does.
    int index = 0;
    size_t accepted = 0;
    for (; index < 10; ++index) {
        if (!input->isReadyForMoreMediaData()) continue;  // dropped, capture goes on
        ASSERT_TRUE(input->append(frame(index)));
        ++accepted;
    }
    EXPECT_EQ(accepted, kQueue);
    EXPECT_FALSE(input->isReadyForMoreMediaData());
    EXPECT_FALSE(input->append(frame(index++))) << "an append past the full queue must be refused, not wait";

    gate.open();
    while (!input->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int more = 0; more < 3; ++more, ++index) {
        while (!input->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(input->append(frame(index)));
        ++accepted;
    }
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed);
    EXPECT_EQ(number(probe(path)["streams"][0]["nb_read_packets"]), accepted);
}

TEST(OfflineInput, WaitsForRoomAndLosesNothing) {
    linux_backend::FfmpegAssetWriterOptions options;
    options.queueCapacity = 2;
    auto writers = linux_backend::makeFfmpegAssetWriters(options);
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("offline.mp4");
    auto [writer, input] = startVideoWriter(*writers, path, false);
    constexpr int kFrames = 40;
    for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(input->append(frame(i)));
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed);
    EXPECT_EQ(number(probe(path)["streams"][0]["nb_read_packets"]), kFrames);
}

} // namespace
