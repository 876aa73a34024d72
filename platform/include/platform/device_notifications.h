#pragma once
// Capture devices connecting and disconnecting, as the system's notification
// centre reports them: an observer names the notification, the queue its block
// runs on and the block, and is removed again with the handle it got.

#include "platform/capture_devices.h"
#include "platform/queues.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

enum class DeviceNotification { wasConnected, wasDisconnected };

using DeviceObserverBlock = std::function<void(const CaptureDevice& device)>;

// The handle of one observer; only its identity matters.
class DeviceObserverHandle {
public:
    virtual ~DeviceObserverHandle() = default;
};

class DeviceNotificationCenter {
public:
    virtual ~DeviceNotificationCenter() = default;
    // Every later notification of this name runs the block on the queue, once
    // per observer. The device is the one that connected or disconnected.
    virtual std::shared_ptr<DeviceObserverHandle> addObserver(DeviceNotification name, std::shared_ptr<Queue> queue,
                                                              DeviceObserverBlock block) = 0;
    // From then on the block is not run again: deliveries still on their way to
    // the observer's queue are dropped. Unknown handles are ignored.
    virtual void removeObserver(const std::shared_ptr<DeviceObserverHandle>& observer) = 0;
};

// The observers of a notification centre and their delivery, shared by the backends.
class DeviceObserverList {
public:
    std::shared_ptr<DeviceObserverHandle> add(DeviceNotification name, std::shared_ptr<Queue> queue,
                                              DeviceObserverBlock block);
    // True when the handle was one of the list's.
    bool remove(const std::shared_ptr<DeviceObserverHandle>& observer);
    // Hands the device to every observer of the name on its queue.
    void post(DeviceNotification name, const CaptureDevice& device);
    size_t size() const;

private:
    struct Observer;
    mutable std::mutex mutex_;  // guards observers_
    std::vector<std::shared_ptr<Observer>> observers_;
};

} // namespace platform
