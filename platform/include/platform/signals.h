#pragma once
// Signal sources: a signal's arrival runs a handler on the main queue instead
// of the signal's default action.

#include <functional>
#include <memory>

namespace platform {

class SignalSource {
public:
    virtual ~SignalSource() = default;
    // Starts delivering: from now on the signal no longer takes its default action,
    // and each arrival runs the handler once on the main queue.
    virtual void resume() = 0;
};

std::shared_ptr<SignalSource> makeSignalSource(int signalNumber, std::function<void()> handler);

} // namespace platform
