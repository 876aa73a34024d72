#pragma once
// The interactive mode: banner, "ready", then one command per input line,
// handled one at a time until "quit", "exit" or the end of input.

#include "Tavrik/CommandParser.h"

#include <atomic>
#include <memory>

namespace tavrik {

class LineSource;
class SignalHandling;

// State shared by the commands, the engine callbacks and the signal handlers.
struct LoopState {
    std::atomic<bool> recordingActive{false};
    std::atomic<bool> recordingPaused{false};
};

class InteractiveMode {
public:
    explicit InteractiveMode(LineSource& input);
    ~InteractiveMode();
    void run();

private:
    enum class Next { readLine, leave };
    Next dispatch(const CommandLineWords& command);
    Next quit();

    LineSource& input_;
    std::shared_ptr<LoopState> state_;
    std::unique_ptr<SignalHandling> signals_;
};

} // namespace tavrik
