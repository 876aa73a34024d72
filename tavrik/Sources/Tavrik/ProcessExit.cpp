#include "Tavrik/ProcessExit.h"

#include "platform/signals.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace tavrik {
namespace {

std::mutex& actionMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

std::function<void()>& replacement() {
    static auto* action = new std::function<void()>();
    return *action;
}

} // namespace

void exitProgram() {
    std::function<void()> action;
    {
        std::lock_guard lock(actionMutex());
        action = replacement();
    }
    if (action) {
        action();
        return;
    }
    // Holding the stream's lock, which every line's writer takes for its whole line, the
    // exit comes between lines; a second caller waits here until the process is gone.
    flockfile(stdout);
    std::fflush(stdout);
    // Capture threads may still be running; static destructors must not run under them.
    std::_Exit(0);
}

void exitAfterArrivedSignals() {
    platform::deliverArrivedSignals();
    exitProgram();
}

void setExitAction(std::function<void()> action) {
    std::lock_guard lock(actionMutex());
    replacement() = std::move(action);
}

} // namespace tavrik
