#include "media_tools.h"

#include "child_process.h"

namespace test_support {

const std::string& ffprobePath() {
    static const std::string path = FFPROBE_EXECUTABLE;
    return path;
}

const std::string& ffmpegPath() {
    static const std::string path = FFMPEG_EXECUTABLE;
    return path;
}

nlohmann::json ffprobe(const std::string& file, const std::vector<std::string>& options) {
    std::vector<std::string> arguments{"-v", "error"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), {"-show_streams", "-show_format", "-of", "json", file});
    return nlohmann::json::parse(runToCompletion(ffprobePath(), arguments).standardOutput, nullptr, false);
}

} // namespace test_support
