#include "plugin_support.h"

#include "platform/queues.h"

#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

namespace lumbra_binding {
namespace {

struct MainQueueThread {
    std::mutex mutex;  // guards users, thread and exitHandlerInstalled
    int users = 0;
    std::thread thread;
    bool exitHandlerInstalled = false;
};

// Leaked on purpose: the exit handler below may still use it while statics are destroyed.
MainQueueThread& mainQueueThread() {
    static auto* instance = new MainQueueThread();
    return *instance;
}

// Needs the mutex held.
void stopThread(MainQueueThread& state) {
    if (!state.thread.joinable()) return;
    platform::stopMainQueue();
    state.thread.join();
}

// process.exit() ends the process without tearing the environment down.
void stopAtExit() {
    auto& state = mainQueueThread();
    std::lock_guard lock(state.mutex);
    state.users = 0;
    stopThread(state);
}

} // namespace

void retainMainQueue() {
    auto& state = mainQueueThread();
    std::lock_guard lock(state.mutex);
    if (state.users++ > 0) return;
    if (!state.exitHandlerInstalled) {
        std::atexit(stopAtExit);
        state.exitHandlerInstalled = true;
    }
    state.thread = std::thread([] { platform::runMainQueue(); });
    // Wait until the queue is served: a stop that came before would be undone by
    // the start of the serving and leave the thread running for ever.
    std::promise<void> serving;
    platform::mainQueue()->async([&serving] { serving.set_value(); });
    serving.get_future().wait();
}

void releaseMainQueue() {
    auto& state = mainQueueThread();
    std::lock_guard lock(state.mutex);
    if (state.users == 0 || --state.users > 0) return;
    stopThread(state);
}

} // namespace lumbra_binding
