#pragma once
// The interactive mode: banner, "ready", then one command per input line,
// handled one at a time until "quit", "exit" or the end of input.

#include "Tavrik/CommandParser.h"

#include "platform/platform.h"

#include <memory>

namespace tavrik {

class LineSource;
class LoopState;
class SignalHandling;

class InteractiveMode {
public:
    // The commands record, preview and list with the given platform, which must outlive the mode.
    InteractiveMode(LineSource& input, platform::Platform& platform);
    ~InteractiveMode();
    void run();

private:
    enum class Next { readLine, leave };
    void readCommands();
    Next dispatch(const CommandLineWords& command);
    // Stops a running recording, paused or not, so that its files are complete.
    void stopRunningRecording();

    LineSource& input_;
    platform::Platform& platform_;
    std::shared_ptr<LoopState> state_;
    std::unique_ptr<SignalHandling> signals_;
};

} // namespace tavrik
