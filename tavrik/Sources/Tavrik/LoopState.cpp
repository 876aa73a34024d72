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

} // namespace tavrik
