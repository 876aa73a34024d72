#pragma once
// The FFmpeg command-line tools that read back what the tests write: found once,
// when the build is configured, and used by every test from here.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace test_support {

const std::string& ffprobePath();
const std::string& ffmpegPath();

// ffprobe's reading of a file: -show_streams -show_format as JSON, after the extra
// options (such as "-count_frames" or "-count_packets"). A discarded value when
// ffprobe writes no JSON.
nlohmann::json ffprobe(const std::string& file, const std::vector<std::string>& options = {});

} // namespace test_support
