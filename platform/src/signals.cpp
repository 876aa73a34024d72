#include "platform/signals.h"

#include "platform/descriptor_watch.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

using Handler = std::function<void()>;

// What the process-level handler touches: lock-free atomics and write(2) only, as
// async-signal safety asks.
std::atomic<unsigned> arrivals[NSIG];
std::atomic<int> wakeDescriptor{-1};
static_assert(std::atomic<unsigned>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

void recordArrival(int number) {
    const int savedErrno = errno;
    arrivals[number].fetch_add(1, std::memory_order_relaxed);
    const char byte = 0;
    // A full pipe already holds a wake-up: nothing is lost.
    [[maybe_unused]] auto written = ::write(wakeDescriptor.load(std::memory_order_relaxed), &byte, 1);
    errno = savedErrno;
}

struct Registration {
    std::vector<std::shared_ptr<const Handler>> handlers;
    struct sigaction found {};
};

struct Registry {
    std::mutex mutex;  // guards registrations, wakeReader and watch
    std::map<int, Registration> registrations;
    int wakeReader = -1;
    std::unique_ptr<DescriptorWatch> watch;
};

// Leaked on purpose: a signal may arrive while the process exits.
Registry& registry() {
    static auto* instance = new Registry();
    return *instance;
}

void drainWakeUps(int reader) {
    char bytes[64];
    while (::read(reader, bytes, sizeof bytes) > 0) {
    }
}

// With the registry's lock held: the pipe the handler wakes the main queue through.
void startWaking(Registry& shared) {
    if (shared.watch) return;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
    shared.wakeReader = ends[0];
    wakeDescriptor = ends[1];
    shared.watch = watchReadableOnMainQueue(ends[0], [reader = ends[0]] {
        drainWakeUps(reader);
        deliverArrivedSignals();
    });
}

class ProcessSignalSource final : public SignalSource {
public:
    ProcessSignalSource(int signalNumber, Handler handler)
        : signalNumber_(signalNumber), handler_(std::make_shared<const Handler>(std::move(handler))) {}

    ~ProcessSignalSource() override {
        if (!resumed_) return;
        auto& shared = registry();
        std::lock_guard lock(shared.mutex);
        auto& registration = shared.registrations[signalNumber_];
        std::erase(registration.handlers, handler_);
        if (registration.handlers.empty()) {
            ::sigaction(signalNumber_, &registration.found, nullptr);
            shared.registrations.erase(signalNumber_);
        }
    }

    void resume() override {
        if (resumed_ || signalNumber_ <= 0 || signalNumber_ >= NSIG) return;
        resumed_ = true;
        auto& shared = registry();
        std::lock_guard lock(shared.mutex);
        startWaking(shared);
        auto& registration = shared.registrations[signalNumber_];
        registration.handlers.push_back(handler_);
        struct sigaction action {};
        action.sa_handler = recordArrival;
        sigemptyset(&action.sa_mask);
        // Reads and waits of other threads go on; the arrival is handled on the main queue.
        action.sa_flags = SA_RESTART;
        // Installed again for a later source too, in case the disposition was changed
        // meanwhile; the one to give back is what the first source found.
        struct sigaction previous {};
        ::sigaction(signalNumber_, &action, &previous);
        if (registration.handlers.size() == 1) registration.found = previous;
    }

private:
    int signalNumber_;
    std::shared_ptr<const Handler> handler_;
    bool resumed_ = false;
};

} // namespace

std::shared_ptr<SignalSource> makeSignalSource(int signalNumber, std::function<void()> handler) {
    return std::make_shared<ProcessSignalSource>(signalNumber, std::move(handler));
}

void deliverArrivedSignals() {
    auto& shared = registry();
    for (int number = 1; number < NSIG; ++number) {
        const unsigned count = arrivals[number].exchange(0, std::memory_order_relaxed);
        if (count == 0) continue;
        std::vector<std::shared_ptr<const Handler>> handlers;
        {
            std::lock_guard lock(shared.mutex);
            auto found = shared.registrations.find(number);
            if (found != shared.registrations.end()) handlers = found->second.handlers;
        }
        // Each handler runs outside the lock: it may release sources or exit the process.
        for (unsigned i = 0; i < count; ++i) {
            for (const auto& handler : handlers) (*handler)();
        }
    }
}

} // namespace platform
