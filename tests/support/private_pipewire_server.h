#pragma once
// A private PipeWire sound server for one test: pipewire, WirePlumber and
// pipewire-pulse (its PulseAudio-compatible server) under their own runtime
// folder and their own session bus, with no display, so that nothing of the
// machine's own session is used and nothing is left running. Without sound
// cards WirePlumber's only sink is a dummy; the test loads the null sinks and
// sources it needs through the PulseAudio protocol.

#include "child_process.h"
#include "temporary_directory.h"

#include <optional>
#include <string>

namespace test_support {

class PrivatePipeWireServer {
public:
    // Sets PULSE_SERVER to its PulseAudio socket; check started().
    PrivatePipeWireServer();
    ~PrivatePipeWireServer();
    PrivatePipeWireServer(const PrivatePipeWireServer&) = delete;
    PrivatePipeWireServer& operator=(const PrivatePipeWireServer&) = delete;

    bool started() const { return started_; }
    const std::string& serverAddress() const { return address_; }

private:
    std::optional<std::string> previousServer_;
    TemporaryDirectory runtime_;
    ChildProcess bus_;
    ChildProcess pipewire_;
    ChildProcess sessionManager_;
    ChildProcess pulse_;
    std::string address_;
    bool started_ = false;
};

} // namespace test_support
