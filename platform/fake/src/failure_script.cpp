#include "platform/fake/failure_script.h"

namespace platform::fake {

void FailureScript::failNext(std::string operation, PlatformError error, int times) {
    std::lock_guard lock(mutex_);
    Script& script = scripts_[std::move(operation)];
    script.error = std::move(error);
    script.remaining = times < 0 ? 0 : times;
    script.passing = 0;
}

void FailureScript::failNextAfter(std::string operation, int passing, PlatformError error, int times) {
    std::lock_guard lock(mutex_);
    Script& script = scripts_[std::move(operation)];
    script.error = std::move(error);
    script.remaining = times < 0 ? 0 : times;
    script.passing = passing < 0 ? 0 : passing;
}

void FailureScript::failAlways(std::string operation, PlatformError error) {
    std::lock_guard lock(mutex_);
    Script& script = scripts_[std::move(operation)];
    script.error = std::move(error);
    script.remaining = -1;
    script.passing = 0;
}

void FailureScript::clear(std::string_view operation) {
    std::lock_guard lock(mutex_);
    auto found = scripts_.find(operation);
    if (found == scripts_.end()) return;
    found->second.error.reset();
    found->second.remaining = 0;
}

std::optional<PlatformError> FailureScript::next(std::string_view operation) {
    std::lock_guard lock(mutex_);
    auto found = scripts_.find(operation);
    if (found == scripts_.end()) found = scripts_.emplace(std::string(operation), Script{}).first;
    Script& script = found->second;
    ++script.calls;
    if (!script.error || script.remaining == 0) return std::nullopt;
    if (script.passing > 0) {
        --script.passing;
        return std::nullopt;
    }
    if (script.remaining > 0) --script.remaining;
    return script.error;
}

void FailureScript::throwIfScripted(std::string_view operation) {
    if (auto error = next(operation)) throw *error;
}

int FailureScript::callCount(std::string_view operation) const {
    std::lock_guard lock(mutex_);
    auto found = scripts_.find(operation);
    return found == scripts_.end() ? 0 : found->second.calls;
}

} // namespace platform::fake
