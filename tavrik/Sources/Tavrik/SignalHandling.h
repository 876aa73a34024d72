#pragma once
// SIGINT, SIGTERM and SIGHUP end the interactive mode from the main queue:
// "shutdown" is announced, a start in progress is let finish, a running recording
// is stopped, the process exits 0. A signal that arrives while an earlier one is
// being handled changes nothing.

#include <memory>

namespace tavrik {

class LoopState;

class SignalHandling {
public:
    // Ignores the three signals, then installs their sources; they stay for the
    // life of the object, and after it the signals stay ignored.
    explicit SignalHandling(std::shared_ptr<LoopState> state);
    ~SignalHandling();

    // What a signal does, on the main queue; public for in-process tests.
    void handle(const char* signalName);

    // The program exits on the main queue after the interactive mode has ended;
    // until then a signal must still be announced and end the program with status
    // 0. So the mode hands its signal handling over here when it ends: it stays
    // installed until the exit (or until a later mode hands over its own).
    static void keepUntilExit(std::unique_ptr<SignalHandling> handling);
    // Releases what keepUntilExit() holds, for in-process tests: the handling holds
    // the mode's state and recorder, which refer to a platform that ends before the process.
    static void releaseKept();

private:
    struct Sources;
    std::shared_ptr<LoopState> state_;
    std::unique_ptr<Sources> sources_;
};

} // namespace tavrik
