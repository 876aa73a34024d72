#pragma once
// The interactive mode running in-process on its own thread, over the fake
// platform: lines go in through a scripted input, events come out through a
// captured output, and the process exit is recorded instead of taken.

#include "captured_output.h"

#include "Tavrik/InteractiveMode.h"
#include "Tavrik/LineSource.h"
#include "Tavrik/Output.h"
#include "Tavrik/ProcessExit.h"
#include "Tavrik/SignalHandling.h"

#include "platform/fake/fake_capture.h"
#include "platform/fake/fake_content.h"
#include "platform/fake/fake_platform.h"
#include "platform/fake/sample_factory.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace commands_test {

class ScriptedInput final : public tavrik::LineSource {
public:
    void push(std::string line) {
        {
            std::lock_guard lock(mutex_);
            lines_.push_back(std::move(line));
        }
        changed_.notify_all();
    }
    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
    }
    std::optional<std::string> nextLine() override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return closed_ || !lines_.empty(); });
        if (lines_.empty()) return std::nullopt;
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        return line;
    }

private:
    std::mutex mutex_;  // guards lines_ and closed_
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    bool closed_ = false;
};

inline const std::string kSig = "pqwdnzruvb83617x92h5k4tc";

class LoopHarness {
public:
    LoopHarness() {
        fake_.install();
        auto& content = platform::fake::fakeContent(*fake_.platform());
        content.setDisplays({{1, 1920, 1080, {{0, 0}, {1920, 1080}}}});
        platform::fake::fakeScreens(*fake_.platform()).setMainDisplayNumber(1);
        tavrik::setOutput(output_);
        tavrik::setExitAction([this] { exits_++; });
    }

    ~LoopHarness() {
        endInput();
        tavrik::SignalHandling::releaseKept();
        tavrik::setOutput(nullptr);
        tavrik::setExitAction({});
    }

    void run() {
        loop_ = std::thread([this] {
            tavrik::InteractiveMode(input_, *fake_.platform()).run();
            loopEnded_ = true;
        });
        output_->waitForEvent("ready");
    }

    void send(const std::string& line) { input_.push(line); }
    void endInput() {
        input_.close();
        if (loop_.joinable()) loop_.join();
    }

    // A start request recording the main display into `path`, with extra members.
    static std::string startRequest(const std::string& path = "/tmp/harness-screen.mp4", const std::string& extra = "") {
        return "start {\"sig\":\"" + kSig + "\",\"outputPath\":\"" + path + "\"" + (extra.empty() ? "" : "," + extra) +
               "}";
    }

    // Waits until the loop has handled everything sent so far, by sending an unknown word and seeing its answer.
    void settle() {
        std::string marker = "marker" + std::to_string(++markers_);
        send(marker);
        output_->waitFor([&](const tavrik::Json& e) { return isMarker(e, "Unknown command: " + marker); });
    }

    // Events other than "ready" and the settle markers.
    std::vector<tavrik::Json> events() const {
        std::vector<tavrik::Json> kept;
        for (auto& e : output_->events()) {
            if (!e.is_object() || e.value("event", "") == "ready") continue;
            if (isMarker(e)) continue;
            kept.push_back(e);
        }
        return kept;
    }

    std::shared_ptr<platform::fake::FakeStream> stream() const {
        return platform::fake::fakeStreams(*fake_.platform()).last();
    }
    // A complete screen frame at `seconds`, delivered on the stream's queue, and waited for.
    void deliverFrame(double seconds) {
        stream()->deliver(platform::StreamOutputType::screen,
                          platform::fake::makeVideoSample(64, 48, platform::MediaTime::fromSeconds(seconds, 600)));
        fake_.samples().waitUntilHandled();
    }

    platform::fake::FakePlatform& fake() { return fake_; }

    static bool isMarker(const tavrik::Json& e, const std::string& text = "Unknown command: marker") {
        if (!e.is_object() || !e.contains("message") || !e["message"].is_string()) return false;
        return e["message"].get<std::string>().rfind(text, 0) == 0;
    }
    test_support::CapturedOutput& output() { return *output_; }
    int exits() const { return exits_; }
    // Waits (generously, for a busy machine) until the process exit has been taken at least once.
    bool waitForExit() const {
        const auto deadline = std::chrono::steady_clock::now() + test_support::CapturedOutput::kGenerousWait;
        while (exits_ == 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    bool loopEnded() const { return loopEnded_; }

private:
    platform::fake::FakePlatform fake_;
    std::shared_ptr<test_support::CapturedOutput> output_ = std::make_shared<test_support::CapturedOutput>();
    ScriptedInput input_;
    std::thread loop_;
    std::atomic<int> exits_{0};
    std::atomic<bool> loopEnded_{false};
    int markers_ = 0;
};

} // namespace commands_test
