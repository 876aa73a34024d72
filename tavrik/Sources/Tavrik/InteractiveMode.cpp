#include "Tavrik/InteractiveMode.h"

#include "Tavrik/DevicesCommand.h"
#include "Tavrik/Emit.h"
#include "Tavrik/InfoCommands.h"
#include "Tavrik/LineSource.h"
#include "Tavrik/SignalHandling.h"
#include "Tavrik/Tavrik.h"
#include "Tavrik/Text.h"

namespace tavrik {

InteractiveMode::InteractiveMode(LineSource& input) : input_(input) {}

InteractiveMode::~InteractiveMode() = default;

void InteractiveMode::run() {
    printBanner();
    state_ = std::make_shared<LoopState>();
    signals_ = std::make_unique<SignalHandling>(state_);
    emit("ready", {{"message", "Recorder is ready"}});
    while (auto line = input_.nextLine()) {
        auto command = parseCommand(*line);
        if (!command) continue;
        if (dispatch(*command) == Next::leave) return;
    }
}

InteractiveMode::Next InteractiveMode::dispatch(const CommandLineWords& command) {
    const std::string& word = command.word;
    if (word == "quit" || word == "exit") return quit();
    if (word == "devices") {
        listDevices(lowercased(command.argument.value_or("")));
        return Next::readLine;
    }
    if (word == "info") {
        handleInfo(command.argument.value_or(""));
        return Next::readLine;
    }
    if (word == "infos") {
        handleInfos(command.argument.value_or(""));
        return Next::readLine;
    }
    emit("error", {{"message", "Unknown command: " + word}, {"code", "INVALID_COMMAND"}});
    return Next::readLine;
}

InteractiveMode::Next InteractiveMode::quit() { return Next::leave; }

} // namespace tavrik
