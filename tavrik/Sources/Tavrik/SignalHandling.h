#pragma once
// SIGINT, SIGTERM and SIGHUP end the interactive mode from the main queue:
// "shutdown" is announced, a running recording is stopped, the process exits 0.

#include <memory>

namespace tavrik {

struct LoopState;

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
};

} // namespace tavrik
