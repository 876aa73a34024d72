#pragma once
// Signal sources: a signal's arrival runs a handler on the main queue instead
// of the signal's default action.

#include <functional>
#include <memory>

namespace platform {

class SignalSource {
public:
    // A released source runs its handler no more. When it was the last live source
    // of its signal, the disposition it found at resume() comes back (for a program
    // that ignored the signal before, the signal stays ignored; it never falls back to
    // the default action unless that is what the source found).
    virtual ~SignalSource() = default;
    // Starts delivering: from now on the signal no longer takes its default action,
    // and each arrival runs the handler once on the main queue. A handler may run a
    // little after its source was released from another thread; it holds what it needs.
    virtual void resume() = 0;
};

std::shared_ptr<SignalSource> makeSignalSource(int signalNumber, std::function<void()> handler);

// Runs now, on the calling thread, which must be the one serving the main queue,
// the handlers of arrivals that have not been handled yet, as the main queue would
// later. A program that leaves the main queue (to exit) calls it first, so that a
// signal that came before is handled, whatever else was queued before its delivery.
void deliverArrivedSignals();

} // namespace platform
