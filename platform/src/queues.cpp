#include "platform/queues.h"

#include "main_context.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include <algorithm>
#include <future>
#include <thread>

namespace platform {
namespace {

std::size_t poolSize() {
    // At least four threads: capture delivery must not starve behind a few long tasks.
    return std::max<std::size_t>(4, std::thread::hardware_concurrency());
}

// Leaked on purpose: queues may still receive work while the process exits.
asio::thread_pool& pool() {
    static auto* instance = new asio::thread_pool(poolSize());
    return *instance;
}

struct MainContext {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
    std::atomic<std::thread::id> servingThread{};
};

MainContext& mainContext() {
    static auto* instance = new MainContext();
    return *instance;
}

template <typename Executor>
void postAfter(Executor executor, std::chrono::nanoseconds delay, Task task) {
    auto timer = std::make_shared<asio::steady_timer>(executor, delay);
    timer->async_wait([timer, task = std::move(task)](const std::error_code&) { task(); });
}

template <typename Executor>
class ExecutorQueue final : public Queue {
public:
    ExecutorQueue(Executor executor, std::string label, bool serial)
        : executor_(std::move(executor)), label_(std::move(label)), serial_(serial) {}

    void async(Task task) override { asio::post(executor_, std::move(task)); }
    void asyncAfter(std::chrono::nanoseconds delay, Task task) override {
        postAfter(executor_, delay, std::move(task));
    }
    const std::string& label() const override { return label_; }
    bool isSerial() const override { return serial_; }

private:
    Executor executor_;
    std::string label_;
    bool serial_;
};

} // namespace

asio::io_context& detail::mainIoContext() { return mainContext().context; }

void Queue::sync(const Task& task) {
    std::promise<void> done;
    async([&] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    done.get_future().get();
}

std::shared_ptr<Queue> mainQueue() {
    static auto queue = std::make_shared<ExecutorQueue<asio::io_context::executor_type>>(
        mainContext().context.get_executor(), "main", true);
    return queue;
}

std::shared_ptr<Queue> globalQueue() {
    static auto queue = std::make_shared<ExecutorQueue<asio::thread_pool::executor_type>>(
        pool().get_executor(), "global", false);
    return queue;
}

std::shared_ptr<Queue> makeSerialQueue(std::string label) {
    using Strand = asio::strand<asio::thread_pool::executor_type>;
    return std::make_shared<ExecutorQueue<Strand>>(asio::make_strand(pool().get_executor()),
                                                   std::move(label), true);
}

void runMainQueue() {
    auto& main = mainContext();
    main.servingThread = std::this_thread::get_id();
    main.context.restart();
    main.context.run();
    main.servingThread = std::thread::id{};
}

void stopMainQueue() { mainContext().context.stop(); }

bool isMainThread() { return mainContext().servingThread.load() == std::this_thread::get_id(); }

} // namespace platform
