#pragma once
// The time budget of one load, counted in the load's own time: the wall-clock
// time it took, less the time it waited for its turn (for a heavy-load slot, or,
// ready to run, for a processor that other threads held). So a file is given
// the same time in a request full of others, or on a busy machine, as alone.

#include <chrono>
#include <cstdint>

namespace platform::linux_backend {

class LoadInterrupt {
public:
    using Clock = std::chrono::steady_clock;

    // Starts counting now, on the thread that runs the load (the scheduler's
    // figures read are that thread's).
    explicit LoadInterrupt(Clock::duration budget);

    // Whether the load has used up its budget; once true, it stays true.
    // Cheap while the wall clock alone leaves time: the scheduler's figures are
    // read only when it does not.
    bool late();
    bool expired() const { return expired_; }
    // Time the load spent waiting for its turn, not counted against its budget.
    void excuse(Clock::duration waited) { excused_ += waited; }

private:
    Clock::duration budget_;
    Clock::time_point start_;
    // Before this, the load's own time cannot have reached the budget.
    Clock::time_point nextCheck_;
    Clock::duration excused_{};
    // The thread's run-queue delay when the load started; negative when the
    // system does not report it (then only the excused waits are left out).
    int64_t runDelayAtStartNs_;
    bool expired_ = false;
};

// Polled by libavformat between reads and packets (`opaque` is the LoadInterrupt);
// a non-zero answer aborts the load.
int interruptWhenLate(void* opaque);

} // namespace platform::linux_backend
