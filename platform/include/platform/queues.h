#pragma once
// Dispatch queues: the main queue served by the main thread, labelled serial
// queues and one global concurrent queue, all on one process-wide thread pool.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using Task = std::function<void()>;

class Queue {
public:
    virtual ~Queue() = default;

    // Runs the task later on this queue. Never runs it inside the call.
    virtual void async(Task task) = 0;
    // Runs the task on this queue once the delay has passed.
    virtual void asyncAfter(std::chrono::nanoseconds delay, Task task) = 0;
    // Runs the task on this queue and waits for it. Calling it from a task of
    // the same serial queue (or of the main queue, for the main queue) deadlocks,
    // as it does for any serial dispatch queue.
    void sync(const Task& task);

    virtual const std::string& label() const = 0;
    virtual bool isSerial() const = 0;
};

// The queue served by the thread that calls runMainQueue().
std::shared_ptr<Queue> mainQueue();
// The global concurrent queue: tasks run in parallel on the pool.
std::shared_ptr<Queue> globalQueue();
// A new serial queue: its tasks run one at a time, in submission order.
std::shared_ptr<Queue> makeSerialQueue(std::string label);

// Serves the main queue on the calling thread until stopMainQueue() is called.
// The process's main thread calls it once and never returns from it.
void runMainQueue();
void stopMainQueue();
// True on the thread that is serving the main queue.
bool isMainThread();

} // namespace platform
