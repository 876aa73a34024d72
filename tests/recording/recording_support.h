#pragma once
// What the process-level recording tests share: a private X server and PulseAudio
// daemon for the suite, a picture that changes every frame, the real program
// driven over its pipes, and ffprobe's reading of a file.

#include "child_process.h"
#include "capture_support.h"
#include "media_tools.h"
#include "private_servers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace recording_test {

using nlohmann::json;
using namespace std::chrono_literals;

inline const char* kSig = "pqwdnzruvb83617x92h5k4tc";

// A window whose colour changes every few milliseconds, so that every frame is new; it
// covers the screen, or its top left corner.
class Animation {
public:
    explicit Animation(uint16_t width = 1920, uint16_t height = 1080) {
        window_ = client_.window(0, 0, width, height, {0, 0, 0});
        thread_ = std::thread([this] {
            for (uint8_t shade = 0; running_; shade = uint8_t(shade + 7)) {
                client_.fill(window_, {shade, uint8_t(255 - shade), 40});
                client_.sync();
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    ~Animation() {
        running_ = false;
        thread_.join();
    }

private:
    test_support::XTestClient client_;
    xcb_window_t window_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

class Recorder {
public:
    // The program, or another that runs it (a shell that limits it first).
    explicit Recorder(const std::string& program = TAVRIK_BINARY, const std::vector<std::string>& arguments = {})
        : process_(program, arguments) {
        process_.readLine();  // banner
        ready_ = waitFor("ready").has_value();
    }
    bool ready() const { return ready_; }
    void send(const std::string& line) { process_.write(line + "\n"); }
    // The next event of that name; other lines on the way are kept in `seen`.
    // Sixty seconds by default: finishing files on a busy machine, or under a sanitizer, is slow.
    std::optional<json> waitFor(const std::string& name, std::chrono::milliseconds timeout = 60s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto line = process_.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (!line) return std::nullopt;
            auto event = json::parse(*line, nullptr, false);
            seen.push_back(event);
            if (event.is_object() && event.value("event", "") == name) return event;
        }
        return std::nullopt;
    }
    test_support::ChildProcess& process() { return process_; }
    std::vector<json> seen;

private:
    test_support::ChildProcess process_;
    bool ready_ = false;
};

// ffprobe's reading of a file; counting the frames decodes the whole file.
inline json probe(const std::string& path, bool countFrames = true) {
    return test_support::ffprobe(path, countFrames ? std::vector<std::string>{"-count_frames"} : std::vector<std::string>{});
}

inline double durationOf(const json& probed) { return std::stod(probed["format"]["duration"].get<std::string>()); }

// Where the frames of a file's video lie, from ffprobe's reading of its packets (no decoding).
struct VideoFrames {
    size_t count = 0;
    double lastStart = 0;   // presentation time of the last frame, seconds
    double longestGap = 0;  // between two consecutive frames, seconds
    double shortestGap = 0;  // the same, 0 for fewer than two frames
};

inline VideoFrames videoFrames(const std::string& path) {
    auto result = test_support::runToCompletion(
        test_support::ffprobePath(), {"-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time", "-of", "json", path});
    auto probed = json::parse(result.standardOutput, nullptr, false);
    std::vector<double> times;
    if (probed.is_object() && probed["packets"].is_array()) {
        for (const auto& packet : probed["packets"]) {
            if (packet.contains("pts_time")) times.push_back(std::stod(packet["pts_time"].get<std::string>()));
        }
    }
    std::sort(times.begin(), times.end());  // packets come in decoding order
    VideoFrames frames;
    frames.count = times.size();
    if (!times.empty()) frames.lastStart = times.back();
    for (size_t i = 1; i < times.size(); ++i) {
        frames.longestGap = std::max(frames.longestGap, times[i] - times[i - 1]);
        frames.shortestGap = i == 1 ? times[1] - times[0] : std::min(frames.shortestGap, times[i] - times[i - 1]);
    }
    return frames;
}

// How far apart the files of a failed recording may end (seconds): one frame interval at
// 30 frames a second. They end where the failed file ends, the audio files cut back there
// from the two seconds of packets their writers hold back; a video whose encoder lags
// further behind its pictures than that leaves the audio files longer. Under
// ThreadSanitizer (our conversion code checked at every access) the video was seen 5 s
// behind, and the files up to 3.3 s apart.
#if defined(__SANITIZE_THREAD__)
inline constexpr double kFailedFilesEndSpread = 4.0;
#else
inline constexpr double kFailedFilesEndSpread = 1.0 / 30;
#endif

// How far apart the files of a failed recording may end, given its video's frames: a
// frame interval, and on a machine too busy to grab or encode every frame (the real-time
// input drops frames) the longest gap between two of its frames plus an AAC frame (21 ms):
// 0.14 s was seen once with several suites of these tests running at once.
inline double failedFilesEndAllowance(const VideoFrames& frames) {
    return std::max(kFailedFilesEndSpread, frames.longestGap + 0.021);
}

// How far apart the files end (seconds), from ffprobe's durations; a file it cannot read counts as 0 s.
inline double endSpread(const std::vector<std::string>& paths) {
    std::vector<double> ends;
    for (const auto& path : paths) {
        auto probed = test_support::ffprobe(path, {});
        ends.push_back(probed.is_object() && probed.contains("format") ? durationOf(probed) : 0);
    }
    const auto [first, last] = std::minmax_element(ends.begin(), ends.end());
    return ends.empty() ? 0 : *last - *first;
}

// Where an audio file ends agrees with the capture times of its samples to within 25 ms:
// the writer lays buffers end to end and moves them to their times only once they drift
// further than 20 ms from them, and the capture times are estimates from the sound
// server's latency reports, a few milliseconds off the frames' (the moments their grabs
// began). The files' durations are given in milliseconds.
inline constexpr double kAudioClockTolerance = 0.025;

// How far after the start of the video's last frame the audio of the same recording may
// end. The files end together at the stop: the last frame starts up to one frame interval
// before it, and the audio runs to the end of the last 10 ms buffer begun before it. On a
// machine too busy to paint, grab or encode every frame, the video's real-time input drops
// frames, and the last one before the stop may lie as far back as the longest gap between
// frames elsewhere in the file. On a quiet machine that is one frame interval.
inline double audioEndAllowance(const VideoFrames& frames, double framesPerSecond) {
    constexpr double kAudioBuffer = 0.010;
    return std::max(1 / framesPerSecond, frames.longestGap) + kAudioBuffer + kAudioClockTolerance;
}

// The durations a pause or stop reports are taken as it begins, from what was written by
// then. Samples captured before it but still on their way (in the sound server, a capture
// thread, a consumer's queue) are written after. And a video encoder that has fallen
// behind on a busy machine makes its real-time input drop the last frames before a stop.
// Tens of milliseconds on a quiet machine; 0.73 s of audio still on its way was seen under
// AddressSanitizer at a load average of 30 on 8 cores, and the full-screen video's last
// 1.15 s dropped at a load average of 36.
inline constexpr double kStillOnItsWay = 1.5;  // seconds

// How far a recording's files may run past, or stop short of, the span a test measured
// between the program's start event and the stop it sent: the time the commands and
// their events took, well under 0.3 s even on a busy machine. ThreadSanitizer checks every
// access the program's own code makes, which slows its start and stop several times: the
// files were seen 0.9 s off the measured span on a quiet machine.
#if defined(__SANITIZE_THREAD__)
inline constexpr double kCommandDelay = 1.5;  // seconds
#else
inline constexpr double kCommandDelay = 0.3;  // seconds
#endif

// A reported duration (milliseconds) against where the file ends (seconds): never past
// it (beyond kAudioClockTolerance, as it counts capture times), and short of it by no
// more than kStillOnItsWay.
inline void expectReportedWithin(double reportedMs, double fileSeconds, const std::string& what) {
    EXPECT_LE(reportedMs, (fileSeconds + kAudioClockTolerance) * 1000) << what;
    EXPECT_GE(reportedMs, (fileSeconds - kStillOnItsWay) * 1000) << what;
}

// A video's reported duration runs from its segment's start to the pause or stop, and the
// writer holds the last picture until then, whatever frames a busy machine dropped before
// it: the file ends there too, give or take the rounding of both to milliseconds, well
// within one frame interval. (The last frame itself starts up to a frame interval before
// the end on a quiet machine, 51 ms before it was seen under AddressSanitizer where the
// real-time input had dropped frames.)
inline void expectVideoEndsAtReported(double reportedMs, double fileSeconds, double framesPerSecond,
                                      const std::string& what) {
    EXPECT_NEAR(reportedMs, fileSeconds * 1000, 1000 / framesPerSecond) << what;
}

inline std::string request(const json& members) {
    json body = {{"sig", kSig}};
    body.update(members);
    return body.dump();
}

class RecordingProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        display_ = new test_support::PrivateXServer();
        sound_ = new test_support::PrivatePulseServer(/*realTimeMicrophone=*/true);
    }
    static void TearDownTestSuite() {
        delete sound_;
        delete display_;
    }
    void SetUp() override {
        ASSERT_TRUE(display_->started());
        ASSERT_TRUE(sound_->started());
        directory_ = std::filesystem::temp_directory_path() /
                     ("recording-" + std::to_string(getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override {
        if (!getenv("KEEP_RECORDINGS")) std::filesystem::remove_all(directory_);
    }
    std::string file(const std::string& name) const { return (directory_ / name).string(); }

    static inline test_support::PrivateXServer* display_ = nullptr;
    static inline test_support::PrivatePulseServer* sound_ = nullptr;
    std::filesystem::path directory_;
};


} // namespace recording_test
