#include "platform/descriptor_watch.h"

#include "main_context.h"

#include <asio/posix/stream_descriptor.hpp>

namespace platform {
namespace {

class AsioDescriptorWatch final : public DescriptorWatch {
public:
    AsioDescriptorWatch(int fd, std::function<void()> onReadable)
        : state_(std::make_shared<State>(fd, std::move(onReadable))) {
        wait(state_);
    }

    ~AsioDescriptorWatch() override {
        std::error_code ignored;
        state_->descriptor.cancel(ignored);
        state_->stopped = true;
        // The descriptor belongs to the caller: never close it here.
        state_->descriptor.release();
    }

private:
    struct State {
        State(int fd, std::function<void()> handler)
            : descriptor(detail::mainIoContext(), fd), onReadable(std::move(handler)) {}
        asio::posix::stream_descriptor descriptor;
        std::function<void()> onReadable;
        bool stopped = false;  // main queue only
    };

    static void wait(const std::shared_ptr<State>& state) {
        state->descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                                     [state](const std::error_code& error) {
                                         if (error || state->stopped) return;
                                         state->onReadable();
                                         if (!state->stopped) wait(state);
                                     });
    }

    std::shared_ptr<State> state_;
};

} // namespace

std::unique_ptr<DescriptorWatch> watchReadableOnMainQueue(int fd, std::function<void()> onReadable) {
    return std::make_unique<AsioDescriptorWatch>(fd, std::move(onReadable));
}

} // namespace platform
