#include "MediaInfo/TaskPool.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace mediainfo {

void runConcurrently(size_t count, const std::function<void(size_t)>& task, size_t threads) {
    if (count == 0) return;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, count);

    // Every task is queued at once; each worker takes the next index until none are left.
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t index; (index = next.fetch_add(1)) < count;) task(index);
    };
    std::vector<std::jthread> workers;
    workers.reserve(threads - 1);
    for (size_t i = 1; i < threads; ++i) workers.emplace_back(work);
    work();
}

} // namespace mediainfo
