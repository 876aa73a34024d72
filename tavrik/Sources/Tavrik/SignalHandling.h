#pragma once
// SIGINT, SIGTERM and SIGHUP end the interactive mode from the main queue:
// "shutdown" is announced, a running recording is stopped, the process exits 0.
// A signal that arrives while an earlier one is being handled changes nothing.

#include <atomic>
#include <memory>

namespace tavrik {

class LoopState;

class SignalHandling {
public:
    // Installs the three signal sources; they stay for the life of the object.
    explicit SignalHandling(std::shared_ptr<LoopState> state);
    ~SignalHandling();

    // What a signal does, on the main queue; public for in-process tests.
    void handle(const char* signalName);

private:
    struct Sources;
    std::shared_ptr<LoopState> state_;
    std::unique_ptr<Sources> sources_;
    std::atomic<bool> shuttingDown_{false};
};

} // namespace tavrik
