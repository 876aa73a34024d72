// Costs of the previews, each beside a plain peer in the same run:
// - the level meter on one 10 ms stereo buffer at 48 kHz (960 floats), against a
//   scalar loop in double precision doing the same arithmetic;
// - drawing one 1920x1080 BGRA camera frame into the 200-pixel window (libyuv
//   scaling, bars or crop, the coverage mask of an ARGB window), against
//   libswscale's bilinear scaling of the same frame to the same size.

#include "Dovezode/LevelMeter.h"

#include "platform/linux/x_preview_windows.h"
#include "platform/sample_buffer.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <cmath>
#include <cstring>
#include <random>

namespace {

platform::SampleBuffer stereoBuffer() {
    std::vector<float> samples(960);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-0.5f, 0.5f);
    for (auto& sample : samples) sample = value(random);
    std::vector<uint8_t> bytes(samples.size() * 4);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    platform::SampleBuffer::Contents contents;
    contents.audioData = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    contents.format =
        platform::FormatDescription::makeAudio(platform::AudioStreamDescription::float32Interleaved(48000, 2));
    return platform::SampleBuffer(std::move(contents));
}

void LevelMeterOneBuffer(benchmark::State& state) {
    auto buffer = stereoBuffer();
    for (auto _ : state) {
        auto measurement = Dovezode::level_meter::measure(buffer);
        auto level = Dovezode::level_meter::level(*measurement);
        benchmark::DoNotOptimize(level);
    }
}
BENCHMARK(LevelMeterOneBuffer);

void LevelMeterOneBufferWithItsLine(benchmark::State& state) {
    auto buffer = stereoBuffer();
    std::FILE* sink = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        auto level = Dovezode::level_meter::level(*Dovezode::level_meter::measure(buffer));
        Dovezode::level_meter::writeLevelLine(*level, sink);
    }
    std::fclose(sink);
}
BENCHMARK(LevelMeterOneBufferWithItsLine);

void PeerScalarDoubleLoop(benchmark::State& state) {
    auto buffer = stereoBuffer();
    for (auto _ : state) {
        const auto& bytes = *buffer.audioData();
        const size_t count = bytes.size() / 4;
        double sum = 0;
        for (size_t i = 0; i < count; ++i) {
            float sample;
            std::memcpy(&sample, bytes.data() + i * 4, 4);
            sum += double(sample) * sample;
        }
        int level = std::min(100, int(100 * std::sqrt(std::sqrt(sum / count))));
        benchmark::DoNotOptimize(level);
    }
}
BENCHMARK(PeerScalarDoubleLoop);

std::vector<uint8_t> cameraFrame() {
    std::vector<uint8_t> frame(1920 * 1080 * 4);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 7 + i / 7680);
    return frame;
}

void DrawFrame(benchmark::State& state, platform::VideoGravity gravity, int height, bool circular, bool argb) {
    auto frame = cameraFrame();
    platform::PreviewWindowStyle style{{200, double(height)}, 16, circular, gravity};
    auto coverage = argb ? platform::linux_backend::previewCoverage(200, height, style) : std::vector<uint8_t>{};
    std::vector<uint8_t> target(size_t(200) * height * 4);
    for (auto _ : state) {
        platform::linux_backend::drawPreviewFrame(frame.data(), 1920 * 4, 1920, 1080, target.data(), 200, height,
                                                  gravity, coverage);
        benchmark::ClobberMemory();
    }
}
BENCHMARK_CAPTURE(DrawFrame, original_bars, platform::VideoGravity::resizeAspect, 200, false, false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DrawFrame, original_fit, platform::VideoGravity::resizeAspect, 113, false, false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DrawFrame, rounded_crop, platform::VideoGravity::resizeAspectFill, 200, true, false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DrawFrame, rounded_crop_argb, platform::VideoGravity::resizeAspectFill, 200, true, true)
    ->Unit(benchmark::kMicrosecond);

void PeerSwscaleBilinear(benchmark::State& state) {
    auto frame = cameraFrame();
    std::vector<uint8_t> target(200 * 113 * 4);
    SwsContext* context =
        sws_getContext(1920, 1080, AV_PIX_FMT_BGRA, 200, 113, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    const uint8_t* source[] = {frame.data()};
    const int sourceStride[] = {1920 * 4};
    uint8_t* destination[] = {target.data()};
    const int destinationStride[] = {200 * 4};
    for (auto _ : state) {
        sws_scale(context, source, sourceStride, 0, 1080, destination, destinationStride);
        benchmark::ClobberMemory();
    }
    sws_freeContext(context);
}
BENCHMARK(PeerSwscaleBilinear)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
