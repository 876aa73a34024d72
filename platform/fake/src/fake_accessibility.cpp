#include "platform/fake/fake_accessibility.h"

#include <stdexcept>

namespace platform::fake {
namespace {

using namespace platform::accessibility_status;

class FakeElement final : public AccessibilityElement {
public:
    FakeElement(std::thread::id queue, std::mutex& mutex, std::shared_ptr<size_t> releasesOffQueue,
                AccessibilityValue role, AccessibilityValue description)
        : role(std::move(role)), description(std::move(description)), queue_(queue), mutex_(mutex),
          releasesOffQueue_(std::move(releasesOffQueue)) {}
    ~FakeElement() override {
        if (std::this_thread::get_id() == queue_) return;
        std::lock_guard lock(mutex_);
        ++*releasesOffQueue_;
    }
    const AccessibilityValue role;
    const AccessibilityValue description;

private:
    std::thread::id queue_;
    std::mutex& mutex_;
    std::shared_ptr<size_t> releasesOffQueue_;
};

} // namespace

FakeAccessibility::FakeAccessibility(std::shared_ptr<FailureScript> failures) : failures_(std::move(failures)) {
    queueThread_ = std::thread([this] { serve(); });
    queueThreadId_ = queueThread_.get_id();
}

FakeAccessibility::~FakeAccessibility() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    queueThread_.join();
    std::lock_guard lock(mutex_);
    for (auto& task : pending_) task->done = true;
    pending_.clear();
    changed_.notify_all();
}

void FakeAccessibility::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return ended_ || (!held_ && !pending_.empty()); });
        if (ended_) return;
        std::shared_ptr<Task> task = pending_.front();
        pending_.pop_front();
        if (task->abandoned) continue;
        lock.unlock();
        try {
            task->work();
        } catch (...) {
            task->error = std::current_exception();
        }
        lock.lock();
        task->ran = true;
        task->done = true;
        changed_.notify_all();
    }
}

bool FakeAccessibility::runOnQueue(const std::function<void()>& work, std::stop_token stop) {
    if (onQueue()) {
        work();
        return true;
    }
    auto task = std::make_shared<Task>();
    task->work = work;
    {
        std::unique_lock lock(mutex_);
        if (ended_) return false;
        pending_.push_back(task);
        changed_.notify_all();
        if (!changed_.wait(lock, stop, [&] { return task->done; })) {
            task->abandoned = true;
            return false;
        }
    }
    if (task->error) std::rethrow_exception(task->error);
    return task->ran;
}

void FakeAccessibility::holdPointer() {
    std::lock_guard lock(mutex_);
    pointerHeld_ = true;
}

void FakeAccessibility::releasePointer() {
    std::lock_guard lock(mutex_);
    pointerHeld_ = false;
    changed_.notify_all();
}

void FakeAccessibility::setTrusted(bool trusted) {
    std::lock_guard lock(mutex_);
    trusted_ = trusted;
}

void FakeAccessibility::setPointer(std::optional<Point> location) {
    std::lock_guard lock(mutex_);
    pointer_ = location;
}

void FakeAccessibility::setSystemWideAvailable(bool available) {
    std::lock_guard lock(mutex_);
    systemWideAvailable_ = available;
}

void FakeAccessibility::setHit(FakeHitScript hit) {
    std::lock_guard lock(mutex_);
    hit_ = std::move(hit);
}

void FakeAccessibility::holdQueue() {
    std::lock_guard lock(mutex_);
    held_ = true;
}

void FakeAccessibility::releaseQueue() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
}

size_t FakeAccessibility::waitingWork() const {
    std::lock_guard lock(mutex_);
    size_t waiting = 0;
    for (const auto& task : pending_) waiting += task->abandoned ? 0 : 1;
    return waiting;
}

size_t FakeAccessibility::pointerWaiters() const {
    std::lock_guard lock(mutex_);
    return pointerWaiters_;
}

size_t FakeAccessibility::hitTests() const {
    std::lock_guard lock(mutex_);
    return hitTests_;
}

size_t FakeAccessibility::releasesOffQueue() const {
    std::lock_guard lock(mutex_);
    return *releasesOffQueue_;
}

bool FakeAccessibility::processTrusted() {
    std::lock_guard lock(mutex_);
    return trusted_;
}

std::optional<Point> FakeAccessibility::pointerLocation() {
    // As on Linux, reading the pointer never throws; a scripted failure gives no location.
    if (failures_->next(FakeOperation::accessibilityPointerLocation)) return std::nullopt;
    std::unique_lock lock(mutex_);
    if (!onQueue() && pointerHeld_) {
        ++pointerWaiters_;
        changed_.wait(lock, [&] { return !pointerHeld_ || ended_; });
        --pointerWaiters_;
    }
    return pointer_;
}

std::shared_ptr<AccessibilityElement> FakeAccessibility::systemWide() {
    if (!onQueue()) throw std::logic_error("systemWide() called off the accessibility queue");
    failures_->throwIfScripted(FakeOperation::accessibilitySystemWide);
    std::lock_guard lock(mutex_);
    if (!systemWideAvailable_) return nullptr;
    return std::make_shared<FakeElement>(queueThreadId_, mutex_, releasesOffQueue_, AccessibilityValue{},
                                         AccessibilityValue{});
}

AccessibilityHit FakeAccessibility::elementAtPosition(AccessibilityElement&, float, float) {
    if (!onQueue()) throw std::logic_error("elementAtPosition() called off the accessibility queue");
    failures_->throwIfScripted(FakeOperation::accessibilityElementAtPosition);
    std::lock_guard lock(mutex_);
    ++hitTests_;
    AccessibilityHit hit{hit_.status, nullptr};
    if (hit_.givesElement) {
        hit.element = std::make_shared<FakeElement>(queueThreadId_, mutex_, releasesOffQueue_, hit_.role,
                                                    hit_.description);
    }
    return hit;
}

AccessibilityValue FakeAccessibility::copyAttribute(AccessibilityElement& element, AccessibilityAttribute attribute) {
    if (!onQueue()) throw std::logic_error("copyAttribute() called off the accessibility queue");
    failures_->throwIfScripted(attribute == AccessibilityAttribute::role ? FakeOperation::accessibilityRole
                                                                         : FakeOperation::accessibilityDescription);
    auto& fake = dynamic_cast<FakeElement&>(element);
    return attribute == AccessibilityAttribute::role ? fake.role : fake.description;
}

} // namespace platform::fake
