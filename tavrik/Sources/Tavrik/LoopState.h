#pragma once
// The state the commands, the engine callbacks and the signal handlers share:
// the current recorder and the two recording flags, the one stop of a recorder
// that may run at a time, and the shutdown a signal begins, which a start in
// progress must finish before.

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
    // command's); then waits for that one. A recording that another stop has
    // already ended (recordingActive false) is not stopped again. Sets
    // recordingActive to false when the stop succeeds.
    StopOutcome stopRecorder(const std::shared_ptr<Dovezode::Recorder>& recorder);
    // Callers of stopRecorder now waiting for another's stop.
    int waitingStops() const;

    // A signal ends the program: true for the first caller, false once shutting down.
    bool beginShutdown();
    bool shuttingDown() const;
    // A "start" runs between these two calls, from before its recorder exists until
    // recordingActive tells its outcome. beginStart() is false once shutting down: the
    // start must not begin, since the exit would cut its files short.
    bool beginStart();
    void endStart();
    // Whether a start is running; none can begin after beginShutdown().
    bool startRunning() const;
    // Waits until the running start (if any) has ended.
    void waitForStartToEnd();

private:
    platform::Platform& platform_;
    mutable std::mutex mutex_;  // guards currentRecorder_, stopping_, waitingStops_, shuttingDown_, startRunning_
    std::condition_variable stopEnded_;
    std::condition_variable startEnded_;
    std::shared_ptr<Dovezode::Recorder> currentRecorder_;
    std::shared_ptr<Dovezode::Recorder> stopping_;
    int waitingStops_ = 0;
    // Written under mutex_; read without it, as the engine's callbacks do under the
    // engine's synchronisation lock.
    std::atomic<bool> shuttingDown_{false};
    bool startRunning_ = false;
};

} // namespace tavrik
