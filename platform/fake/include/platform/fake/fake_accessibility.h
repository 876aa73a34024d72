#pragma once
// The scripted accessibility service. Like the Linux one it has a queue thread of
// its own: work submitted with runOnQueue() runs there while the submitter waits.
// A test decides whether the process is trusted, where the pointer is, what the
// hit test finds, which step fails, and can hold the queue to stand for a queue
// thread that is busy. As on Linux, a submitter asked to stop leaves its wait at
// once: its work is dropped if it has not started.
//
// Scripted operations (FailureScript): accessibilityPointerLocation makes reading
// the pointer give no location (it never throws, as on Linux);
// accessibilitySystemWide, accessibilityElementAtPosition, accessibilityRole and
// accessibilityDescription (copyAttribute of that attribute) throw the error.

#include "platform/accessibility.h"
#include "platform/fake/failure_script.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace platform::fake {

// What the hit test gives: its status, whether an element comes with it, and that
// element's two attributes.
struct FakeHitScript {
    int32_t status = accessibility_status::kSuccess;
    bool givesElement = true;
    AccessibilityValue role{accessibility_status::kSuccess, "AXGroup"};
    AccessibilityValue description{accessibility_status::kNoValue, std::nullopt};
};

class FakeAccessibility final : public AccessibilityService {
public:
    explicit FakeAccessibility(std::shared_ptr<FailureScript> failures = std::make_shared<FailureScript>());
    // Ends the queue thread; work still waiting is answered with false.
    ~FakeAccessibility() override;

    // Scripting; any thread.
    void setTrusted(bool trusted);
    void setPointer(std::optional<Point> location);
    void setSystemWideAvailable(bool available);
    void setHit(FakeHitScript hit);
    FailureScript& failures() { return *failures_; }
    // While held, the queue starts no work: submitters wait as they would for a busy thread.
    void holdQueue();
    void releaseQueue();
    // While held, reading the pointer off the queue blocks: the caller stands still
    // as on a display that does not answer.
    void holdPointer();
    void releasePointer();
    // Callers standing still in a held pointer read.
    size_t pointerWaiters() const;
    // Submitters waiting for their work to run.
    size_t waitingWork() const;
    // Hit tests made so far.
    size_t hitTests() const;
    // Elements released off the queue (a breach of the contract).
    size_t releasesOffQueue() const;

    bool processTrusted() override;
    std::optional<Point> pointerLocation() override;
    bool runOnQueue(const std::function<void()>& work, std::stop_token stop = {}) override;
    std::shared_ptr<AccessibilityElement> systemWide() override;
    AccessibilityHit elementAtPosition(AccessibilityElement& systemWide, float x, float y) override;
    AccessibilityValue copyAttribute(AccessibilityElement& element, AccessibilityAttribute attribute) override;

private:
    struct Task {
        std::function<void()> work;
        std::exception_ptr error;
        bool done = false;
        bool ran = false;
        bool abandoned = false;
    };
    void serve();
    bool onQueue() const { return std::this_thread::get_id() == queueThreadId_; }

    const std::shared_ptr<FailureScript> failures_;
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable_any changed_;
    std::deque<std::shared_ptr<Task>> pending_;
    bool held_ = false;
    bool pointerHeld_ = false;
    size_t pointerWaiters_ = 0;
    bool ended_ = false;
    bool trusted_ = true;
    std::optional<Point> pointer_ = Point{0, 0};
    bool systemWideAvailable_ = true;
    FakeHitScript hit_;
    size_t hitTests_ = 0;
    std::shared_ptr<size_t> releasesOffQueue_ = std::make_shared<size_t>(0);
    std::thread queueThread_;
    std::thread::id queueThreadId_;
};

} // namespace platform::fake
