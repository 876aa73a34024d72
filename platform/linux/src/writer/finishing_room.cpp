#include "writer/finishing_room.h"

namespace platform::linux_backend {

FinishingRoom& FinishingRoom::shared() {
    static FinishingRoom ledger;
    return ledger;
}

void FinishingRoom::keep(uint64_t device, const void* owner, int64_t bytes) {
    std::lock_guard lock(mutex_);
    kept_[device][owner] = bytes;
}

void FinishingRoom::release(uint64_t device, const void* owner) {
    std::lock_guard lock(mutex_);
    const auto found = kept_.find(device);
    if (found == kept_.end()) return;
    found->second.erase(owner);
    if (found->second.empty()) kept_.erase(found);
}

int64_t FinishingRoom::keptOn(uint64_t device) const {
    std::lock_guard lock(mutex_);
    const auto found = kept_.find(device);
    if (found == kept_.end()) return 0;
    int64_t total = 0;
    for (const auto& [owner, bytes] : found->second) total += bytes;
    return total;
}

} // namespace platform::linux_backend
