#pragma once
// Runs many independent tasks at once on a bounded set of threads.

#include <cstddef>
#include <functional>

namespace mediainfo {

// Calls task(0) .. task(count - 1), each once, on at most `threads` threads
// (the machine's hardware threads when 0; never more threads than tasks);
// returns when all have finished.
void runConcurrently(size_t count, const std::function<void(size_t)>& task, size_t threads = 0);

} // namespace mediainfo
