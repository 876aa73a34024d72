// Sample buffers: durations of audio blocks, and copies with new timing.

#include "platform/fake/sample_factory.h"
#include "platform/sample_buffer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using platform::MediaTime;
using platform::SampleTimingInfo;
using namespace platform::fake;

TEST(SampleFactory, VideoSampleIsABgraFrameWithItsTimesAndStatus) {
    auto sample = makeVideoSample(64, 36, MediaTime::make(7, 600),
                                  {.duration = MediaTime::make(1, 30), .frameStatus = platform::FrameStatus::idle,
                                   .fill = 0x7f});
    ASSERT_TRUE(sample->isValid());
    const auto& format = *sample->formatDescription();
    EXPECT_EQ(format.mediaType, platform::MediaType::video);
    EXPECT_EQ(platform::fourCharCodeString(format.mediaSubtype), "BGRA");
    ASSERT_TRUE(format.dimensions.has_value());
    EXPECT_EQ(format.dimensions->width, 64);
    EXPECT_EQ(format.dimensions->height, 36);
    EXPECT_EQ(sample->presentationTimeStamp(), MediaTime::make(7, 600));
    EXPECT_EQ(sample->duration(), MediaTime::make(1, 30));
    EXPECT_EQ(sample->frameStatus(), platform::FrameStatus::idle);

    const auto& pixels = *sample->pixels();
    ASSERT_EQ(pixels.planes.size(), 1u);
    EXPECT_EQ(pixels.planes[0].bytesPerRow, 64u * 4);
    EXPECT_EQ(pixels.planes[0].data[64 * 4 * 36 - 1], 0x7f);

    EXPECT_FALSE(makeVideoSample(2, 2, MediaTime::zero(), {.frameStatus = std::nullopt})->frameStatus().has_value());
}

TEST(SampleFactory, AudioSampleIsFloatInterleavedAndLastsItsFrames) {
    auto sample = makeAudioSample(1024, 48000, MediaTime::make(48000, 48000), {.channels = 2, .value = 0.25f});
    const auto& format = *sample->formatDescription();
    ASSERT_TRUE(format.audio.has_value());
    EXPECT_EQ(format.audio->sampleRate, 48000);
    EXPECT_EQ(format.audio->channelsPerFrame, 2u);
    EXPECT_EQ(format.audio->bitsPerChannel, 32u);
    EXPECT_TRUE(format.audio->formatFlags & platform::AudioStreamDescription::IsFloat);
    EXPECT_EQ(sample->sampleCount(), 1024);
    EXPECT_EQ(sample->duration(), MediaTime::make(1024, 48000));
    ASSERT_EQ(sample->audioData()->size(), 1024u * 2 * sizeof(float));
    float last;
    std::memcpy(&last, sample->audioData()->data() + sample->audioData()->size() - sizeof(float), sizeof last);
    EXPECT_EQ(last, 0.25f);
}

TEST(SampleBufferTiming, DurationOfSeveralEntriesIsTheirSum) {
    platform::SampleBuffer::Contents contents;
    contents.sampleCount = 2;
    contents.timing = {{MediaTime::make(1, 600), MediaTime::zero(), MediaTime::invalid()},
                       {MediaTime::make(1, 1000), MediaTime::make(1, 600), MediaTime::invalid()}};
    platform::SampleBuffer buffer(contents);
    EXPECT_EQ(buffer.duration(), MediaTime::make(8, 3000));
}

TEST(SampleBufferTiming, CopyWithNewTimingKeepsEverythingElse) {
    auto original = makeVideoSample(4, 4, MediaTime::make(100, 600),
                                    {.decodeTimeStamp = MediaTime::make(90, 600),
                                     .frameStatus = platform::FrameStatus::complete});
    auto copy = original->copyWithTiming({{MediaTime::make(1, 30), MediaTime::make(40, 600), MediaTime::make(30, 600)}});
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->presentationTimeStamp(), MediaTime::make(40, 600));
    EXPECT_EQ(copy->decodeTimeStamp(), MediaTime::make(30, 600));
    EXPECT_EQ(copy->duration(), MediaTime::make(1, 30));
    EXPECT_EQ(copy->formatDescription(), original->formatDescription());
    EXPECT_EQ(copy->pixels(), original->pixels());
    EXPECT_EQ(copy->frameStatus(), platform::FrameStatus::complete);
    EXPECT_EQ(original->presentationTimeStamp(), MediaTime::make(100, 600)) << "the original is untouched";
}

TEST(SampleBufferTiming, CopyFailsWhenTheEntriesDoNotMatchTheSamples) {
    auto audio = makeAudioSample(3, 48000, MediaTime::zero());
    SampleTimingInfo entry{MediaTime::make(1, 48000), MediaTime::zero(), MediaTime::invalid()};
    EXPECT_NE(audio->copyWithTiming({entry}), nullptr);
    EXPECT_NE(audio->copyWithTiming({entry, entry, entry}), nullptr);
    EXPECT_EQ(audio->copyWithTiming({entry, entry}), nullptr);
    EXPECT_EQ(audio->copyWithTiming({}), nullptr);
}

} // namespace
