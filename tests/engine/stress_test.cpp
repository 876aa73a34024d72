// Pause and resume alternating many times while screen frames arrive from four
// threads at once and the microphone and webcam deliver on their serial queues.
// Run it under ThreadSanitizer (the tsan preset) to see the races it provokes.
//
// Every sample takes its presentation time from one shared clock just before it
// is handed to the engine, and each feeder publishes the time of the last sample
// whose delivery has returned. After a pause, the test waits until every feeder
// has moved past the clock's value, so no sample from before the pause is still
// inside the engine when the next segment begins: its files may only hold times
// from that value up to the clock's value when the segment was paused.

#include "engine_fixture.h"

#include <array>
#include <atomic>
#include <thread>

namespace engine_test {
namespace {

using platform::AssetWriterStatus;

constexpr int32_t kTimescale = 1000000;
constexpr int kSegments = 100;
constexpr size_t kFeeders = 6;  // four screen threads, the microphone, the webcam

RecordingOptions segmentFiles(int n) {
    RecordingOptions o = displayRecording();
    o.destination = "main-" + std::to_string(n) + ".mp4";
    o.microphoneDeviceID = kMicrophone;
    o.micDestination = "mic-" + std::to_string(n) + ".m4a";
    o.webcamDeviceID = kCamera;
    o.webcamDestination = "cam-" + std::to_string(n) + ".mp4";
    return o;
}

class Feeders {
public:
    Feeders(std::shared_ptr<platform::fake::FakeStream> stream,
            std::shared_ptr<platform::fake::FakeCaptureOutput> microphone,
            std::shared_ptr<platform::fake::FakeCaptureOutput> webcam) {
        for (size_t i = 0; i < 4; ++i) {
            threads_.emplace_back([this, i, stream] {
                feed(i, [&](MediaTime t) {
                    stream->deliverHere(StreamOutputType::screen, platform::fake::makeVideoSample(16, 12, t));
                });
            });
        }
        auto onItsQueue = [](const std::shared_ptr<platform::fake::FakeCaptureOutput>& output,
                             platform::SampleBufferRef sample) {
            output->queue()->sync([&] { output->deliverHere(sample); });
        };
        threads_.emplace_back([this, microphone, onItsQueue] {
            feed(4, [&](MediaTime t) { onItsQueue(microphone, platform::fake::makeAudioSample(480, 48000, t)); });
        });
        threads_.emplace_back([this, webcam, onItsQueue] {
            feed(5, [&](MediaTime t) { onItsQueue(webcam, platform::fake::makeVideoSample(8, 6, t)); });
        });
    }

    ~Feeders() {
        running_ = false;
        for (auto& thread : threads_) thread.join();
    }

    int64_t now() const { return clock_.load(); }

    // Waits until no delivery that began before `tick` is still running.
    bool drainedPast(int64_t tick) {
        return eventually([&] {
            for (const auto& done : completed_) {
                if (done.load() < tick) return false;
            }
            return true;
        });
    }

private:
    template <typename Deliver>
    void feed(size_t index, Deliver deliver) {
        while (running_) {
            const int64_t tick = clock_.fetch_add(1);
            deliver(MediaTime::make(tick, kTimescale));
            completed_[index] = tick;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    std::atomic<bool> running_{true};
    std::atomic<int64_t> clock_{0};
    std::array<std::atomic<int64_t>, kFeeders> completed_{};
    std::vector<std::thread> threads_;
};

using StressTest = EngineTest;

TEST_F(StressTest, PauseAndResumeWhileEveryQueueDelivers) {
    // The feeders' ticks are the time: a sample reaches delivery one tick after its capture.
    fake().captureClock().setDeliveryLatency(MediaTime::make(1, kTimescale));
    start(Target::screen, segmentFiles(0));
    auto feeders = std::make_unique<Feeders>(stream(), outputOf(kMicrophone), outputOf(kCamera));

    std::vector<int64_t> lower{0}, upper;
    auto filesOf = [](int n) {
        return std::array<std::string, 3>{"main-" + std::to_string(n) + ".mp4", "mic-" + std::to_string(n) + ".m4a",
                                          "cam-" + std::to_string(n) + ".mp4"};
    };
    auto everyFileReceived = [&](int n) {
        return eventually([&] {
            for (const auto& path : filesOf(n)) {
                auto input = inputOf(path);
                if (!input || input->appended().empty()) return false;
            }
            return true;
        });
    };
    for (int n = 1; n <= kSegments; ++n) {
        ASSERT_TRUE(everyFileReceived(n - 1)) << "segment " << n - 1;
        recorder().pause();
        upper.push_back(feeders->now());
        const int64_t resumedFrom = feeders->now();
        ASSERT_TRUE(feeders->drainedPast(resumedFrom));
        lower.push_back(resumedFrom);
        resume(Target::screen, segmentFiles(n));
    }
    ASSERT_TRUE(everyFileReceived(kSegments));
    recorder().stop();
    upper.push_back(feeders->now());
    feeders.reset();

    EXPECT_EQ(events().count(&Events::starts), 1u);
    EXPECT_EQ(events().count(&Events::resumes), static_cast<size_t>(kSegments));
    for (int n = 0; n <= kSegments; ++n) {
        for (const auto& path : filesOf(n)) {
            SCOPED_TRACE(path);
            auto w = writer(path);
            ASSERT_TRUE(w);
            // Started once, finished once, complete.
            EXPECT_EQ(w->startWritingCalls(), 1);
            EXPECT_EQ(w->finishWritingCalls(), 1);
            EXPECT_EQ(w->status(), AssetWriterStatus::completed);
            auto input = inputOf(path);
            ASSERT_TRUE(input);
            EXPECT_TRUE(input->isMarkedAsFinished());
            EXPECT_EQ(input->refusedAppends(), 0u) << "appended to a file that was not open";
            EXPECT_EQ(input->overlappingAppends(), 0u) << "appended from two threads at once";

            auto appended = input->appended();
            ASSERT_FALSE(appended.empty());
            const MediaTime sessionStart = *w->sessionStartTime();
            const bool audio = path.find(".m4a") != std::string::npos;
            if (path.rfind("main", 0) == 0) {
                EXPECT_EQ(appended.front().presentationTime, sessionStart) << "the video begins at the segment's start";
            }
            const bool serial = path.rfind("main", 0) != 0;
            MediaTime previous = MediaTime::invalid();
            for (const auto& sample : appended) {
                const int64_t tick = sample.presentationTime.value;
                EXPECT_GE(tick, lower[n]) << "a sample from before the segment";
                // The segment starts at the capture clock's time then, one latency after the last
                // delivery: a picture shown from that start may lie at the clock's value at the
                // pause when no feeder took a tick in between.
                if (sample.presentationTime == sessionStart) {
                    EXPECT_LE(tick, upper[n]) << "a segment that starts after its pause";
                } else {
                    EXPECT_LT(tick, upper[n]) << "a sample from after the segment";
                }
                // Screen frames of four threads may be appended out of order; the serial queues may not.
                if (serial) {
                    // Audio captured just before the start is cut at it by the writer.
                    if (!audio || previous.isValid()) {
                        EXPECT_GE(platform::compare(sample.presentationTime, sessionStart), 0);
                    }
                    if (previous.isValid()) {
                        EXPECT_GT(platform::compare(sample.presentationTime, previous), 0);
                    }
                    previous = sample.presentationTime;
                }
            }
        }
    }
}

} // namespace
} // namespace engine_test
