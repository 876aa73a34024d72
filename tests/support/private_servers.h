#pragma once
// A private X server (Xvfb, one 1920x1080 screen) or PulseAudio daemon (a null sink
// and a sine source) for one test; the environment points at it while it lives.

#include "child_process.h"
#include "temporary_directory.h"

#include <optional>
#include <string>
#include <vector>

namespace test_support {

class PrivateXServer {
public:
    // Sets DISPLAY; check started(). Unless `resetsWhenIdle`, the server keeps its state
    // when its last client leaves (-noreset); otherwise it resets then, as X servers do by default.
    explicit PrivateXServer(bool resetsWhenIdle = false);
    ~PrivateXServer();
    bool started() const { return !display_.empty(); }
    const std::string& display() const { return display_; }

    // Starts openbox on it and waits until it manages the screen.
    bool startWindowManager();
    // Ends the server now (its clients' connections break).
    void stop();

private:
    std::optional<std::string> previousDisplay_;
    ChildProcess server_;
    ChildProcess windowManager_;
    std::string display_;
};

class PrivatePulseServer {
public:
    static constexpr const char* kSineSource = "devices_test_sine";
    static constexpr const char* kNullSink = "devices_test_sink";

    // Sets PULSE_SERVER; check started(). With a real-time microphone, kSineSource is a
    // sine tone played into a second null sink and taken from its monitor, which
    // delivers as a real microphone does; otherwise it is the sine source module,
    // which hands its audio over in bursts of seconds. `extraModules` are loaded too
    // (each as the text after --load=).
    explicit PrivatePulseServer(bool realTimeMicrophone = false, const std::vector<std::string>& extraModules = {});
    ~PrivatePulseServer();
    bool started() const { return started_; }
    const std::string& serverAddress() const { return address_; }

private:
    std::optional<std::string> previousServer_;
    TemporaryDirectory runtime_;
    ChildProcess daemon_;
    std::string address_;
    bool started_ = false;
};

} // namespace test_support
