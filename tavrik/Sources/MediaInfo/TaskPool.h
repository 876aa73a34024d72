#pragma once
// Runs many independent tasks at once on a bounded set of threads.

#include <chrono>
#include <cstddef>
#include <functional>

namespace mediainfo {

struct PoolBounds {
    // Threads that take tasks from the start (the machine's hardware threads when 0).
    size_t threads = 0;
    // When above `threads`: a task running longer than `slowAfter` is taken
    // to be waiting (on a disk, a deadline, a lock), and another thread is
    // started in its place while tasks remain, up to this many threads in all.
    size_t maxThreads = 0;
    std::chrono::milliseconds slowAfter{50};
};

// Calls task(0) .. task(count - 1), each once, on at most `threads` threads
// (the machine's hardware threads when 0; never more threads than tasks);
// returns when all have finished.
void runConcurrently(size_t count, const std::function<void(size_t)>& task, size_t threads = 0);
// The same, with threads added for tasks that run long, as `bounds` says.
void runConcurrently(size_t count, const std::function<void(size_t)>& task, PoolBounds bounds);

} // namespace mediainfo
