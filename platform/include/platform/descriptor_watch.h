#pragma once
// Readiness of a file descriptor served on the main queue, for backends whose
// work belongs to the main queue and whose events arrive on a descriptor (the
// connection to a display server).

#include <functional>
#include <memory>

namespace platform {

class DescriptorWatch {
public:
    // Stops the watch; the descriptor itself stays open.
    virtual ~DescriptorWatch() = default;
};

// Calls `onReadable` on the main queue each time `fd` has data to read, until the
// watch is released. The descriptor stays owned by the caller and must outlive
// the watch.
std::unique_ptr<DescriptorWatch> watchReadableOnMainQueue(int fd, std::function<void()> onReadable);

} // namespace platform
