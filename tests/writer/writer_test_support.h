#pragma once
// Samples and ffprobe read-backs for the writer tests.

#include "temporary_directory.h"

#include "platform/asset_writer.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct AVFrame;

namespace writer_test {

platform::MediaTime seconds(double value, int32_t timescale = 600);

// A BGRA or packed 10-bit frame; `seed` varies the picture (a moving gradient),
// `noise` fills it with pseudo-random pixels instead.
platform::SampleBufferRef videoFrame(int32_t width, int32_t height, platform::MediaTime pts,
                                     platform::MediaTime duration, int seed,
                                     platform::FourCharCode pixelFormat = platform::pixel_format::bgra,
                                     bool noise = false);

// Interleaved float32 audio; sample(frameIndex, channel) gives each value.
platform::SampleBufferRef audioBuffer(double sampleRate, uint32_t channels, int64_t frames, platform::MediaTime pts,
                                      const std::function<float(int64_t, uint32_t)>& sample);

// ffprobe -show_streams -show_format -count_packets as JSON.
nlohmann::json probe(const std::string& path);
double number(const nlohmann::json& value);  // ffprobe writes numbers as strings

// The file's first audio track decoded to interleaved signed 16-bit samples.
std::vector<int16_t> decodeAudioS16(const std::string& path);

// Runs a command line, returns its standard output.
std::string run(const std::string& command);

// Whether two 4:2:0 pictures of the same even size hold the same samples (padding aside).
bool sameI420Pictures(const AVFrame& a, const AVFrame& b);

} // namespace writer_test
