#pragma once
// The state the commands, the engine callbacks and the signal handlers share:
// the current recorder and the two recording flags, and the one stop of a
// recorder that may run at a time.

#include "Dovezode/Recorder.h"

#include "platform/platform.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

namespace tavrik {

class LoopState {
public:
    // The commands record and preview with the given platform, which must outlive this state.
    explicit LoopState(platform::Platform& platform) : platform_(platform) {}

    platform::Platform& platform() const { return platform_; }

    std::atomic<bool> recordingActive{false};
    std::atomic<bool> recordingPaused{false};

    std::shared_ptr<Dovezode::Recorder> currentRecorder() const;
    void setCurrentRecorder(std::shared_ptr<Dovezode::Recorder> recorder);

    struct StopOutcome {
        // False when another stop of the same recorder was running: this caller
        // waited for it to end and has nothing of its own to report.
        bool ranHere = false;
        std::exception_ptr failure;
    };
    // Stops the recorder, unless a stop of it is already running (a signal's, a
    // command's); then waits for that one. Sets recordingActive to false when the
    // stop succeeds.
    StopOutcome stopRecorder(const std::shared_ptr<Dovezode::Recorder>& recorder);
    // Callers of stopRecorder now waiting for another's stop.
    int waitingStops() const;

private:
    platform::Platform& platform_;
    mutable std::mutex mutex_;  // guards currentRecorder_, stopping_ and waitingStops_
    std::condition_variable stopEnded_;
    std::shared_ptr<Dovezode::Recorder> currentRecorder_;
    std::shared_ptr<Dovezode::Recorder> stopping_;
    int waitingStops_ = 0;
};

} // namespace tavrik
