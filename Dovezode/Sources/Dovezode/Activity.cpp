#include "Dovezode/Activity.h"

#include "platform/activity.h"
#include "platform/platform.h"

Activity::Activity(platform::Platform& platform, uint64_t options, const std::string& reason) {
    if (auto& power = platform.powerManagement) activity_ = power->beginActivity(options, reason);
}

Activity::~Activity() = default;
