#include "platform/fake/failure_script.h"

namespace platform::fake {

void FailureScript::failNext(FakeOperation operation, PlatformError error, int times) {
    failNextAfter(operation, 0, std::move(error), times);
}

void FailureScript::failNextAfter(FakeOperation operation, int passing, PlatformError error, int times) {
    std::lock_guard lock(mutex_);
    Script& script = scripts_[operation];
    script.error = std::move(error);
    script.remaining = times < 0 ? 0 : times;
    script.passing = passing < 0 ? 0 : passing;
}

void FailureScript::failAlways(FakeOperation operation, PlatformError error) {
    std::lock_guard lock(mutex_);
    Script& script = scripts_[operation];
    script.error = std::move(error);
    script.remaining = -1;
    script.passing = 0;
}

void FailureScript::clear(FakeOperation operation) {
    std::lock_guard lock(mutex_);
    auto found = scripts_.find(operation);
    if (found == scripts_.end()) return;
    found->second.error.reset();
    found->second.remaining = 0;
}

std::optional<PlatformError> FailureScript::next(FakeOperation operation) {
    std::lock_guard lock(mutex_);
    Script& script = scripts_[operation];
    ++script.calls;
    if (!script.error || script.remaining == 0) return std::nullopt;
    if (script.passing > 0) {
        --script.passing;
        return std::nullopt;
    }
    if (script.remaining > 0) --script.remaining;
    return script.error;
}

void FailureScript::throwIfScripted(FakeOperation operation) {
    if (auto error = next(operation)) throw *error;
}

int FailureScript::callCount(FakeOperation operation) const {
    std::lock_guard lock(mutex_);
    auto found = scripts_.find(operation);
    return found == scripts_.end() ? 0 : found->second.calls;
}

} // namespace platform::fake
