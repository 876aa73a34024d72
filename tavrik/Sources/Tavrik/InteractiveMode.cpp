#include "Tavrik/InteractiveMode.h"

#include "Tavrik/DevicesCommand.h"
#include "Tavrik/Emit.h"
#include "Tavrik/InfoCommands.h"
#include "Tavrik/LineSource.h"
#include "Tavrik/LoopState.h"
#include "Tavrik/PreviewCommand.h"
#include "Tavrik/RecordingCommands.h"
#include "Tavrik/SignalHandling.h"
#include "Tavrik/Tavrik.h"
#include "Tavrik/Text.h"

namespace tavrik {

InteractiveMode::InteractiveMode(LineSource& input, platform::Platform& platform)
    : input_(input), platform_(platform) {}

InteractiveMode::~InteractiveMode() = default;

void InteractiveMode::run() {
    printBanner();
    state_ = std::make_shared<LoopState>(platform_);
    signals_ = std::make_unique<SignalHandling>(state_);
    emit("ready", {{"message", "Recorder is ready"}});
    readCommands();
    // The process exits after the mode, on the main queue: a signal that arrives until
    // then is still handled there, so it neither kills the program nor goes unannounced.
    SignalHandling::keepUntilExit(std::move(signals_));
}

void InteractiveMode::readCommands() {
    while (auto line = input_.nextLine()) {
        // After "shutdown" the program only finishes what runs and exits: a command
        // would start work that the exit cuts off.
        if (state_->shuttingDown()) continue;
        if (input_.lastLineTooLong()) {
            // Only the head of the line was kept: nothing of it runs.
            emit("error", {{"message", "Line too long: a command line holds at most " +
                                           std::to_string(StreamLineSource::kDefaultMaxLineBytes) + " bytes"},
                           {"code", "INVALID_COMMAND"}});
            continue;
        }
        auto command = parseCommand(*line);
        if (!command) continue;
        if (dispatch(*command) == Next::leave) return;
    }
    // The host closed its end: finish the recording rather than lose it.
    stopRunningRecording();
}

void InteractiveMode::stopRunningRecording() {
    if (!state_->recordingActive) return;
    // A failure is not reported: the program is ending.
    if (auto recorder = state_->currentRecorder()) state_->stopRecorder(recorder);
}

InteractiveMode::Next InteractiveMode::dispatch(const CommandLineWords& command) {
    const std::string& word = command.word;
    const std::string argument = command.argument.value_or("");
    if (word == "start") {
        handleStart(state_, command.argument.value_or("{}"));
    } else if (word == "stop") {
        handleStop(*state_);
    } else if (word == "pause") {
        handlePause(*state_);
    } else if (word == "resume") {
        handleResume(*state_, command.argument.value_or("{}"));
    } else if (word == "quit" || word == "exit") {
        stopRunningRecording();
        return Next::leave;
    } else if (word == "devices") {
        listDevices(platform_, lowercased(argument));
    } else if (word == "preview") {
        handlePreview(*state_, command.argument.value_or("{}"));
    } else if (word == "info") {
        handleInfo(argument);
    } else if (word == "infos") {
        handleInfos(argument);
    } else {
        emit("error", {{"message", "Unknown command: " + word}, {"code", "INVALID_COMMAND"}});
    }
    return Next::readLine;
}

} // namespace tavrik
