#include "MediaInfo/TaskPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace mediainfo {
namespace {

using Clock = std::chrono::steady_clock;

size_t hardwareThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

// What one worker is doing: the start of its present task, or idle.
struct WorkerState {
    static constexpr int64_t kIdle = -1;
    std::atomic<int64_t> taskStart{kIdle};  // Clock ticks
};

} // namespace

void runConcurrently(size_t count, const std::function<void(size_t)>& task, size_t threads) {
    runConcurrently(count, task, PoolBounds{threads, 0, {}});
}

void runConcurrently(size_t count, const std::function<void(size_t)>& task, PoolBounds bounds) {
    if (count == 0) return;
    size_t base = std::min(bounds.threads == 0 ? hardwareThreads() : bounds.threads, count);
    size_t most = std::min(std::max(bounds.maxThreads, base), count);

    // Every task is queued at once; each worker takes the next index until none are left.
    std::atomic<size_t> next{0};
    if (most == base) {
        auto work = [&] {
            for (size_t index; (index = next.fetch_add(1)) < count;) task(index);
        };
        std::vector<std::jthread> workers;
        workers.reserve(base - 1);
        for (size_t i = 1; i < base; ++i) workers.emplace_back(work);
        work();
        return;
    }

    // The calling thread watches the workers and adds one for each task that
    // has run past `slowAfter`, so that `base` workers stay free to take tasks.
    std::mutex mutex;  // guards finishedWorkers; with `changed`, the watcher's wait
    std::condition_variable changed;
    size_t finishedWorkers = 0;
    std::deque<WorkerState> states;  // a deque: states keep their place as workers are added
    std::vector<std::jthread> workers;
    workers.reserve(most);
    auto start = [&] {
        WorkerState* state = &states.emplace_back();
        workers.emplace_back([&, state] {
            for (size_t index; (index = next.fetch_add(1)) < count;) {
                state->taskStart = Clock::now().time_since_epoch().count();
                task(index);
                state->taskStart = WorkerState::kIdle;
            }
            {
                std::lock_guard lock(mutex);
                ++finishedWorkers;
            }
            changed.notify_all();
        });
    };
    for (size_t i = 0; i < base; ++i) start();

    auto tick = std::max(bounds.slowAfter / 2, std::chrono::milliseconds(1));
    std::unique_lock lock(mutex);
    while (finishedWorkers < workers.size()) {
        changed.wait_for(lock, tick);
        if (next.load() >= count || workers.size() >= most) continue;
        auto slowSince = (Clock::now() - bounds.slowAfter).time_since_epoch().count();
        size_t slow = 0;
        for (const auto& state : states) {
            int64_t taskStart = state.taskStart.load();
            if (taskStart != WorkerState::kIdle && taskStart < slowSince) ++slow;
        }
        while (workers.size() - slow < base && workers.size() < most && next.load() < count) start();
    }
}

} // namespace mediainfo
