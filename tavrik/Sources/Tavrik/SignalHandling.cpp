#include "Tavrik/SignalHandling.h"

#include "Tavrik/Emit.h"
#include "Tavrik/ErrorText.h"
#include "Tavrik/LoopState.h"
#include "Tavrik/ProcessExit.h"

#include "platform/queues.h"
#include "platform/signals.h"

#include <csignal>
#include <vector>

namespace tavrik {

struct SignalHandling::Sources {
    std::vector<std::shared_ptr<platform::SignalSource>> list;
};

SignalHandling::SignalHandling(std::shared_ptr<LoopState> state)
    : state_(std::move(state)), sources_(std::make_unique<Sources>()) {
    struct Handled {
        int number;
        const char* name;
    };
    static constexpr Handled kSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    // Set up here; each arrival is then handled on the main queue. Nothing else
    // touches the sources until a signal arrives, so no hand-over is needed.
    for (const auto& handled : kSignals) std::signal(handled.number, SIG_IGN);
    for (const auto& handled : kSignals) {
        const char* name = handled.name;
        sources_->list.push_back(platform::makeSignalSource(handled.number, [this, name] { handle(name); }));
    }
    for (auto& source : sources_->list) source->resume();
}

SignalHandling::~SignalHandling() = default;

void SignalHandling::handle(const char* signalName) {
    if (shuttingDown_.exchange(true)) return;
    emit("shutdown", {{"reason", "signal"}, {"signal", signalName}});
    if (!state_->recordingActive) return exitProgram();
    // Stop off the main queue, which stays free meanwhile.
    auto recorder = state_->currentRecorder();
    platform::globalQueue()->async([state = state_, recorder, signalName] {
        if (recorder) {
            auto outcome = state->stopRecorder(recorder);
            if (outcome.failure) {
                emit("error", {{"message", std::string("Failed to stop on ") + signalName + ": " +
                                               localizedDescription(outcome.failure)}});
            }
        }
        exitProgram();
    });
}

} // namespace tavrik
