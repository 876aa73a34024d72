#include "writer_test_support.h"

#include "media_tools.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

// libx265 3.5 does not free some of its encoder state on close; that is not ours to fix.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace writer_test {

using namespace platform;

MediaTime seconds(double value, int32_t timescale) { return MediaTime::fromSeconds(value, timescale); }

SampleBufferRef videoFrame(int32_t width, int32_t height, MediaTime pts, MediaTime duration, int seed,
                           FourCharCode pixelFormat, bool noise) {
    auto pixels = PixelBuffer::allocate(pixelFormat, width, height, 4);
    uint8_t* data = pixels->mutablePlane(0);
    std::minstd_rand random(static_cast<unsigned>(seed) + 1);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* p = data + (static_cast<size_t>(y) * width + x) * 4;
            if (noise) {
                const uint32_t value = random();
                std::memcpy(p, &value, 4);
                continue;
            }
            const uint32_t r = (x * 4 + seed * 8) & 0xff, g = (y * 4) & 0xff, b = (x + y + seed) & 0xff;
            if (pixelFormat == pixel_format::argb2101010) {
                const uint32_t word = (3u << 30) | (r << 22) | (g << 12) | (b << 2);
                std::memcpy(p, &word, 4);
            } else {
                p[0] = static_cast<uint8_t>(b), p[1] = static_cast<uint8_t>(g), p[2] = static_cast<uint8_t>(r), p[3] = 255;
            }
        }
    }
    auto format = std::make_shared<FormatDescription>();
    format->mediaType = MediaType::video;
    format->mediaSubtype = pixelFormat;
    format->dimensions = VideoDimensions{width, height};
    SampleBuffer::Contents contents;
    contents.timing = {{duration, pts, MediaTime::invalid()}};
    contents.format = format;
    contents.pixels = pixels;
    contents.frameStatus = FrameStatus::complete;
    return std::make_shared<SampleBuffer>(std::move(contents));
}

SampleBufferRef audioBuffer(double sampleRate, uint32_t channels, int64_t frames, MediaTime pts,
                            const std::function<float(int64_t, uint32_t)>& sample) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(frames) * channels * 4);
    auto* values = reinterpret_cast<float*>(bytes->data());
    for (int64_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c) values[i * channels + c] = sample(i, c);
    auto format = std::make_shared<FormatDescription>();
    format->mediaType = MediaType::audio;
    format->mediaSubtype = fourCharCode("lpcm");
    format->audio = AudioStreamDescription::float32Interleaved(sampleRate, channels);
    SampleBuffer::Contents contents;
    contents.timing = {{MediaTime::make(1, static_cast<int32_t>(sampleRate)), pts, MediaTime::invalid()}};
    contents.sampleCount = frames;
    contents.format = format;
    contents.audioData = bytes;
    return std::make_shared<SampleBuffer>(std::move(contents));
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    char buffer[65536];
    size_t read;
    while ((read = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, read);
    pclose(pipe);
    return output;
}

nlohmann::json probe(const std::string& path) { return test_support::ffprobe(path, {"-count_packets"}); }

double number(const nlohmann::json& value) {
    return value.is_string() ? std::stod(value.get<std::string>()) : value.get<double>();
}

std::vector<int16_t> decodeAudioS16(const std::string& path) {
    const std::string raw = run(test_support::ffmpegPath() + " -v error -i '" + path +
                                "' -map 0:a:0 -f s16le -acodec pcm_s16le -");
    std::vector<int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

bool sameI420Pictures(const AVFrame& a, const AVFrame& b) {
    if (a.width != b.width || a.height != b.height) return false;
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? a.height : a.height / 2, bytes = plane == 0 ? a.width : a.width / 2;
        for (int row = 0; row < rows; ++row) {
            if (std::memcmp(a.data[plane] + row * a.linesize[plane], b.data[plane] + row * b.linesize[plane], bytes))
                return false;
        }
    }
    return true;
}

} // namespace writer_test
