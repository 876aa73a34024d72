#include "platform/signals.h"

#include "main_context.h"

#include <asio/signal_set.hpp>

namespace platform {
namespace {

class AsioSignalSource final : public SignalSource, public std::enable_shared_from_this<AsioSignalSource> {
public:
    AsioSignalSource(int signalNumber, std::function<void()> handler)
        : signals_(detail::mainIoContext()), signalNumber_(signalNumber), handler_(std::move(handler)) {}

    void resume() override {
        signals_.add(signalNumber_);
        wait();
    }

private:
    void wait() {
        // The source lives as long as its owner; a wait pending at release ends quietly.
        signals_.async_wait([weak = weak_from_this()](const std::error_code& error, int) {
            auto self = weak.lock();
            if (!self || error) return;
            self->handler_();
            self->wait();
        });
    }

    asio::signal_set signals_;
    int signalNumber_;
    std::function<void()> handler_;
};

} // namespace

std::shared_ptr<SignalSource> makeSignalSource(int signalNumber, std::function<void()> handler) {
    return std::make_shared<AsioSignalSource>(signalNumber, std::move(handler));
}

} // namespace platform
