#include "Dovezode/Activity.h"

#include "platform/activity.h"
#include "platform/platform.h"

Activity::Activity(uint64_t options, const std::string& reason) {
    if (auto& power = platform::installed().powerManagement) activity_ = power->beginActivity(options, reason);
}

Activity::~Activity() = default;
