// A real-time input behind a deliberately small queue whose encoder is held up:
// appends beyond the queue are refused through the ready flag, nothing blocks,
// and the file holds exactly the accepted frames (while its track starts, a few more
// frames than its queue, converted on arrival). An input that is not real-time
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

// The room a real-time video input has while its encoder is held: its queue, and while
// the track's first frames are encoded some frames more (converted on arrival), within
// a number of frames and of bytes of converted pictures.
struct RoomCase {
    const char* name;
    size_t startFrames;  // frames of the track's start
    size_t startExtraFrames;
    size_t startBytes;
    size_t room;  // frames accepted while the encoder is held
};

void PrintTo(const RoomCase& c, std::ostream* out) { *out << c.name; }

class RealTimeInput : public testing::TestWithParam<RoomCase> {};

TEST_P(RealTimeInput, FullQueueRefusesThroughTheReadyFlagAndTheFileHoldsExactlyTheAcceptedFrames) {
    const RoomCase& c = GetParam();
    constexpr size_t kQueue = 2;
    Gate gate;
    linux_backend::FfmpegAssetWriterOptions options;
    options.realTimeVideoQueueCapacity = kQueue;
    options.realTimeVideoStartFrames = c.startFrames;
    options.realTimeVideoStartExtraFrames = c.startExtraFrames;
    options.realTimeVideoStartBytes = c.startBytes;
    options.beforeEachSample = [&] { gate.wait(); };
    auto writers = linux_backend::makeFfmpegAssetWriters(options);
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("slow.mp4");
    auto [writer, input] = startVideoWriter(*writers, path, true);

    // The encoder is held: the caller checks the flag as a capture callback does.
    int index = 0;
    std::vector<int> accepted;
    for (; index < 10; ++index) {
        if (!input->isReadyForMoreMediaData()) continue;  // dropped, capture goes on
        ASSERT_TRUE(input->append(frame(index)));
        accepted.push_back(index);
    }
    EXPECT_EQ(accepted.size(), c.room);
    EXPECT_FALSE(input->isReadyForMoreMediaData());
    EXPECT_FALSE(input->append(frame(index++))) << "an append past the full queue must be refused, not wait";

    gate.open();
    for (int more = 0; more < 3; ++more, ++index) {
        while (!input->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(input->append(frame(index)));
        accepted.push_back(index);
    }
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed);
    EXPECT_EQ(number(probe(path)["streams"][0]["nb_read_packets"]), accepted.size());
    // Each accepted frame at its own time, converted on arrival or not.
    std::string expected;
    for (int i : accepted) expected += std::to_string(i * 3000) + "\n";
    EXPECT_EQ(run("ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 '" + path +
                  "' | sort -n"),
              expected);
}

// One 64x48 picture converted to 4:2:0 takes 4608 bytes.
INSTANTIATE_TEST_SUITE_P(
    Room, RealTimeInput,
    testing::Values(RoomCase{"AfterTheStart", 0, 24, 64u << 20, 2},
                    RoomCase{"WhileTheTrackStarts", 120, 3, 64u << 20, 2 + 3},
                    RoomCase{"WhileTheTrackStartsWithinItsBytes", 120, 24, 2 * 4608 + 100, 2 + 2}),
    [](const auto& info) { return std::string(info.param.name); });

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
