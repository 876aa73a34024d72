#pragma once
// What the process-level recording tests share: a private X server and PulseAudio
// daemon for the suite, a picture that changes every frame, the real program
// driven over its pipes, and ffprobe's reading of a file.

#include "ChildProcess.h"
#include "capture_test_support.h"
#include "private_servers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

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

// A window whose colour changes every few milliseconds, so that every frame is new.
class Animation {
public:
    Animation() {
        window_ = client_.window(0, 0, 1920, 1080, {0, 0, 0});
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
    capture_test::TestClient client_;
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
    std::optional<json> waitFor(const std::string& name, std::chrono::milliseconds timeout = 20s) {
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
    testsupport::ChildProcess& process() { return process_; }
    std::vector<json> seen;

private:
    testsupport::ChildProcess process_;
    bool ready_ = false;
};

// ffprobe's reading of a file; counting the frames decodes the whole file.
inline json probe(const std::string& path, bool countFrames = true) {
    std::vector<std::string> arguments{"-v", "error", "-show_streams", "-show_format", "-of", "json", path};
    if (countFrames) arguments.insert(arguments.begin() + 2, "-count_frames");
    auto result = testsupport::runToCompletion(FFPROBE_EXECUTABLE, arguments);
    return json::parse(result.standardOutput, nullptr, false);
}

inline double durationOf(const json& probed) { return std::stod(probed["format"]["duration"].get<std::string>()); }

inline std::string request(const json& members) {
    json body = {{"sig", kSig}};
    body.update(members);
    return body.dump();
}

class RecordingProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        display_ = new capture_test::CaptureXServer();
        sound_ = new devices_test::PrivatePulseServer(/*realTimeMicrophone=*/true);
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

    static inline capture_test::CaptureXServer* display_ = nullptr;
    static inline devices_test::PrivatePulseServer* sound_ = nullptr;
    std::filesystem::path directory_;
};


} // namespace recording_test
