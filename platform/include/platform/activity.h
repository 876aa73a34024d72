#pragma once
// Power management: an activity that keeps the system from idle sleep while it lasts.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

namespace activity_options {
inline constexpr uint64_t idleSystemSleepDisabled = 1ull << 20;
} // namespace activity_options

// Ends the activity when released.
class ActivityToken {
public:
    virtual ~ActivityToken() = default;
};

class PowerManagement {
public:
    virtual ~PowerManagement() = default;
    // Never fails: where the system offers no inhibition the token does nothing.
    virtual std::shared_ptr<ActivityToken> beginActivity(uint64_t options, const std::string& reason) = 0;
};

} // namespace platform
