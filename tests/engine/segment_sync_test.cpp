#include "Dovezode/Durations.h"
#include "Dovezode/SegmentSync.h"

#include "platform/fake/sample_factory.h"

#include <gtest/gtest.h>

#include <vector>

using Dovezode::SegmentSync;
using Dovezode::SyncExpectations;
using Dovezode::SyncPipeline;
using platform::MediaTime;

namespace {

platform::SampleBufferRef sampleAt(int64_t value, int32_t timescale) {
    return platform::fake::makeAudioSample(480, 48000, MediaTime::make(value, timescale));
}

struct Delivery {
    SyncPipeline pipeline;
    int64_t value;
    int32_t timescale;
    bool handedOn;  // expected result of applySyncOffset
};

} // namespace

TEST(SegmentSync, GatesSamplesUntilEveryExpectedPipelineDelivered) {
    struct Case {
        const char* name;
        SyncExpectations expected;
        std::vector<Delivery> deliveries;
        int resolutions;
    };
    const Case cases[] = {
        {"screen waits for the microphone; the completing sample is handed on",
         {.screen = true, .mic = true},
         {{SyncPipeline::screen, 100, 600, false},
          {SyncPipeline::screen, 110, 600, false},
          {SyncPipeline::mic, 4800, 48000, true},
          {SyncPipeline::screen, 120, 600, true}},
         1},
        {"an unexpected pipeline records its first time but does not hold the segment",
         {.screen = true},
         {{SyncPipeline::sysAudio, 1, 1, false}, {SyncPipeline::screen, 2, 1, true}, {SyncPipeline::sysAudio, 3, 1, true}},
         1},
        {"nothing expected: the first sample of any pipeline resolves",
         {},
         {{SyncPipeline::webcam, 5, 1, true}, {SyncPipeline::mic, 6, 1, true}},
         1},
        {"an expected pipeline that never delivers keeps everything back",
         {.screen = true, .webcam = true},
         {{SyncPipeline::screen, 1, 1, false}, {SyncPipeline::mic, 1, 1, false}, {SyncPipeline::screen, 2, 1, false}},
         0},
    };
    for (const auto& c : cases) {
        SegmentSync sync;
        int resolutions = 0;
        sync.setClock([] { return int64_t{1765353600123}; });
        sync.setOnSyncResolved([&](int64_t ms) {
            ++resolutions;
            EXPECT_EQ(ms, 1765353600123);
        });
        sync.setExpectations(c.expected);
        for (const auto& d : c.deliveries) {
            auto sample = sampleAt(d.value, d.timescale);
            auto handed = sync.applySyncOffset(sample, d.pipeline);
            EXPECT_EQ(handed != nullptr, d.handedOn) << c.name;
            // A handed-on sample keeps exactly the timing it came with.
            if (handed) {
                EXPECT_EQ(handed->presentationTimeStamp(), sample->presentationTimeStamp()) << c.name;
            }
        }
        EXPECT_EQ(resolutions, c.resolutions) << c.name;
        EXPECT_EQ(sync.isResolved(), c.resolutions > 0) << c.name;
    }
}

TEST(SegmentSync, ReferenceIsTheLatestFirstTimeWithTiesToTheEarlierPipeline) {
    SegmentSync sync;
    sync.setExpectations({.screen = true, .mic = true, .webcam = true});
    sync.registerFirstPTSIfNeeded(MediaTime::make(3, 2), SyncPipeline::webcam);      // 1.5 s
    sync.registerFirstPTSIfNeeded(MediaTime::make(900, 600), SyncPipeline::screen);  // 1.5 s: tie, screen first
    sync.registerFirstPTSIfNeeded(MediaTime::make(1, 1), SyncPipeline::mic);         // 1 s
    ASSERT_TRUE(sync.isResolved());
    EXPECT_EQ(sync.offset(SyncPipeline::screen).value, 0);
    EXPECT_EQ(sync.offset(SyncPipeline::mic), MediaTime::make(-1, 2));
    EXPECT_EQ(sync.offset(SyncPipeline::webcam), MediaTime::zero());
    EXPECT_EQ(sync.offset(SyncPipeline::sysAudio), MediaTime::zero());
    // Across timescales the comparison is exact: 1/1000000000 later than 1/600 wins.
    SegmentSync fine;
    fine.setExpectations({.screen = true, .mic = true});
    fine.registerFirstPTSIfNeeded(MediaTime::make(600, 600), SyncPipeline::screen);
    fine.registerFirstPTSIfNeeded(MediaTime::make(1000000001, 1000000000), SyncPipeline::mic);
    EXPECT_EQ(fine.offset(SyncPipeline::screen), MediaTime::make(-1, 1000000000));
    EXPECT_EQ(fine.offset(SyncPipeline::mic), MediaTime::zero());
}

TEST(SegmentSync, ResetStartsANewSegmentWithANewStartTime) {
    SegmentSync sync;
    int64_t now = 1000;
    std::vector<int64_t> reported;
    sync.setClock([&] { return now; });
    sync.setOnSyncResolved([&](int64_t ms) { reported.push_back(ms); });
    sync.setExpectations({.screen = true});
    EXPECT_TRUE(sync.applySyncOffset(sampleAt(1, 1), SyncPipeline::screen));
    sync.reset();
    EXPECT_FALSE(sync.isResolved());
    EXPECT_EQ(sync.recordingStartMs(), 1000);  // kept until the next resolution
    now = 2000;
    EXPECT_TRUE(sync.applySyncOffset(sampleAt(9, 1), SyncPipeline::screen));
    EXPECT_EQ(reported, (std::vector<int64_t>{1000, 2000}));
    EXPECT_EQ(sync.recordingStartMs(), 2000);
}

TEST(AdjustTime, OnlyPositiveOffsetsRetime) {
    auto sample = sampleAt(10, 1);
    auto moved = Dovezode::adjustTime(sample, MediaTime::make(3, 1));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->presentationTimeStamp(), MediaTime::make(7, 1));
    EXPECT_EQ(moved->duration(), sample->duration());
    EXPECT_FALSE(Dovezode::adjustTime(sample, MediaTime::zero()));
    EXPECT_FALSE(Dovezode::adjustTime(sample, MediaTime::make(-3, 1)));
    platform::SampleBuffer::Contents bare;
    bare.timing = {{MediaTime::make(1, 1), MediaTime::make(10, 1), MediaTime::invalid()}};
    EXPECT_FALSE(Dovezode::adjustTime(std::make_shared<platform::SampleBuffer>(bare), MediaTime::make(3, 1)));
}

TEST(Durations, MillisecondsTruncateAndNeedValidPositiveSpans) {
    struct Case {
        MediaTime start, end, last;
        std::optional<uint64_t> expected;
    };
    const Case cases[] = {
        {MediaTime::make(0, 10000), MediaTime::make(19996, 10000), MediaTime::zero(), 1999},
        {MediaTime::make(1, 1), MediaTime::make(3, 1), MediaTime::make(1024, 48000), 2021},
        {MediaTime::make(5, 1), MediaTime::make(5, 1), MediaTime::zero(), std::nullopt},  // one frame
        {MediaTime::make(5, 1), MediaTime::make(5, 1), MediaTime::make(480, 48000), 10},  // one audio sample
        {MediaTime::invalid(), MediaTime::make(5, 1), MediaTime::zero(), std::nullopt},
        {MediaTime::make(5, 1), MediaTime::invalid(), MediaTime::zero(), std::nullopt},
        {MediaTime::make(5, 1), MediaTime::make(4, 1), MediaTime::zero(), std::nullopt},
        {MediaTime::make(1, 1), MediaTime::make(2, 1), MediaTime::make(-5, 1), 1000},  // non-positive last ignored
    };
    for (const auto& c : cases) EXPECT_EQ(Dovezode::milliseconds(c.start, c.end, c.last), c.expected);
}
