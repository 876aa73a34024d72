#include "platform/device_notifications.h"

#include <algorithm>
#include <atomic>

namespace platform {

struct DeviceObserverList::Observer final : DeviceObserverHandle {
    Observer(DeviceNotification name, std::shared_ptr<Queue> queue, DeviceObserverBlock block)
        : name(name), queue(std::move(queue)), block(std::move(block)) {}
    DeviceNotification name;
    std::shared_ptr<Queue> queue;
    DeviceObserverBlock block;
    // Cleared by removal; a delivery already queued checks it before it runs.
    std::atomic<bool> active{true};
};

std::shared_ptr<DeviceObserverHandle> DeviceObserverList::add(DeviceNotification name, std::shared_ptr<Queue> queue,
                                                              DeviceObserverBlock block) {
    auto observer = std::make_shared<Observer>(name, std::move(queue), std::move(block));
    std::lock_guard lock(mutex_);
    observers_.push_back(observer);
    return observer;
}

bool DeviceObserverList::remove(const std::shared_ptr<DeviceObserverHandle>& handle) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(observers_.begin(), observers_.end(),
                              [&](const std::shared_ptr<Observer>& observer) { return observer == handle; });
    if (found == observers_.end()) return false;
    (*found)->active = false;
    observers_.erase(found);
    return true;
}

void DeviceObserverList::post(DeviceNotification name, const CaptureDevice& device) {
    std::vector<std::shared_ptr<Observer>> receivers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& observer : observers_) {
            if (observer->name == name) receivers.push_back(observer);
        }
    }
    for (const auto& observer : receivers) {
        observer->queue->async([observer, device] {
            if (observer->active) observer->block(device);
        });
    }
}

size_t DeviceObserverList::size() const {
    std::lock_guard lock(mutex_);
    return observers_.size();
}

} // namespace platform
