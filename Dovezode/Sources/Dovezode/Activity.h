#pragma once
// A power-management activity held while a recording runs: it begins when the
// object is made and ends when the object is released.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {
class ActivityToken;
struct Platform;
}

class Activity {
public:
    // Nothing is held when the platform has no power management.
    Activity(platform::Platform& platform, uint64_t options, const std::string& reason);
    ~Activity();
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;

private:
    std::shared_ptr<platform::ActivityToken> activity_;
};
