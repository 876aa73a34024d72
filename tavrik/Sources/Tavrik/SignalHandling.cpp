#include "Tavrik/SignalHandling.h"

#include "Tavrik/Emit.h"
#include "Tavrik/ErrorText.h"
#include "Tavrik/LoopState.h"
#include "Tavrik/ProcessExit.h"

#include "platform/queues.h"
#include "platform/signals.h"

#include <csignal>
#include <mutex>
#include <utility>
#include <vector>

namespace tavrik {
namespace {

// A source's handler holds the state itself, not the SignalHandling object, which
// may be released on the loop's thread while the main queue runs the handler.
void handleSignal(const std::shared_ptr<LoopState>& state, const char* signalName) {
    if (!state->beginShutdown()) return;
    emit("shutdown", {{"reason", "signal"}, {"signal", signalName}});
    // No start can begin any more; one that is running ends before the stop, so that
    // its files are finished rather than cut off by the exit.
    if (!state->startRunning() && !state->recordingActive) return exitProgram();
    // Stop off the main queue, which stays free meanwhile (a start may need it).
    platform::globalQueue()->async([state, signalName] {
        state->waitForStartToEnd();
        if (auto recorder = state->currentRecorder(); recorder && state->recordingActive) {
            auto outcome = state->stopRecorder(recorder);
            if (outcome.failure) {
                emit("error", {{"message", std::string("Failed to stop on ") + signalName + ": " +
                                               localizedDescription(outcome.failure)}});
            }
        }
        exitProgram();
    });
}

std::mutex& keptMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

// Leaked on purpose: the process exits with it installed.
std::unique_ptr<SignalHandling>& kept() {
    static auto* handling = new std::unique_ptr<SignalHandling>();
    return *handling;
}

} // namespace

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
    // Ignored first: the disposition a released source gives back is this one, never the default action.
    for (const auto& handled : kSignals) std::signal(handled.number, SIG_IGN);
    for (const auto& handled : kSignals) {
        sources_->list.push_back(platform::makeSignalSource(
            handled.number, [state = state_, name = handled.name] { handleSignal(state, name); }));
    }
    for (auto& source : sources_->list) source->resume();
}

SignalHandling::~SignalHandling() = default;

void SignalHandling::handle(const char* signalName) { handleSignal(state_, signalName); }

void SignalHandling::keepUntilExit(std::unique_ptr<SignalHandling> handling) {
    std::unique_ptr<SignalHandling> replaced;
    std::lock_guard lock(keptMutex());
    replaced = std::exchange(kept(), std::move(handling));
}

void SignalHandling::releaseKept() { keepUntilExit(nullptr); }

} // namespace tavrik
