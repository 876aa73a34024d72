#include "Tavrik/LoopState.h"

namespace tavrik {

std::shared_ptr<Dovezode::Recorder> LoopState::currentRecorder() const {
    std::lock_guard guard(mutex_);
    return currentRecorder_;
}

void LoopState::setCurrentRecorder(std::shared_ptr<Dovezode::Recorder> recorder) {
    std::lock_guard guard(mutex_);
    currentRecorder_ = std::move(recorder);
}

LoopState::StopOutcome LoopState::stopRecorder(const std::shared_ptr<Dovezode::Recorder>& recorder) {
    {
        std::unique_lock lock(mutex_);
        if (stopping_ == recorder) {
            ++waitingStops_;
            stopEnded_.wait(lock, [&] { return stopping_ != recorder; });
            --waitingStops_;
            return {};
        }
        // The stop that ended it cleared the flag before it let go of stopping_.
        if (!recordingActive) return {};
        stopping_ = recorder;
    }
    StopOutcome outcome;
    outcome.ranHere = true;
    try {
        recorder->stop();
        recordingActive = false;
    } catch (...) {
        outcome.failure = std::current_exception();
    }
    {
        std::lock_guard guard(mutex_);
        stopping_ = nullptr;
    }
    stopEnded_.notify_all();
    return outcome;
}

int LoopState::waitingStops() const {
    std::lock_guard guard(mutex_);
    return waitingStops_;
}

bool LoopState::beginShutdown() {
    std::lock_guard guard(mutex_);
    if (shuttingDown_) return false;
    shuttingDown_ = true;
    return true;
}

bool LoopState::shuttingDown() const { return shuttingDown_; }

bool LoopState::beginStart() {
    std::lock_guard guard(mutex_);
    if (shuttingDown_) return false;
    startRunning_ = true;
    return true;
}

void LoopState::endStart() {
    {
        std::lock_guard guard(mutex_);
        startRunning_ = false;
    }
    startEnded_.notify_all();
}

bool LoopState::startRunning() const {
    std::lock_guard guard(mutex_);
    return startRunning_;
}

void LoopState::waitForStartToEnd() {
    std::unique_lock lock(mutex_);
    startEnded_.wait(lock, [&] { return !startRunning_; });
}

} // namespace tavrik
