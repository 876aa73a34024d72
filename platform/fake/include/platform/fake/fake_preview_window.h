#pragma once
// Scripted preview windows: each window the engine makes is recorded with its
// style, the session attached to it, its place and whether it is on screen, so
// a test can read what a real window would show. Calls made off the main queue
// are counted, as the real backend cannot take them.
//
// Scripted operation (FailureScript): previewWindowsMakeWindow throws the
// scripted error, as the real backend does without a display server.

#include "platform/fake/failure_script.h"
#include "platform/platform.h"
#include "platform/preview_window.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::fake {

// What one window is and shows; it outlives the window for the test to read.
class FakePreviewWindowRecord {
public:
    explicit FakePreviewWindowRecord(PreviewWindowStyle style) : style_(style) {}

    const PreviewWindowStyle& style() const { return style_; }
    std::shared_ptr<CaptureSession> session() const;
    // The place and the size in whole pixels (a half pixel rounds up), as on X.
    Rect frame() const;
    bool onScreen() const;
    // True once the engine let go of the window.
    bool released() const;
    // Sessions attached over the window's life, the current one last.
    int attachCount() const;
    // Moves the window as a user's drag does.
    void dragTo(Point origin);

private:
    friend class FakePreviewWindow;
    const PreviewWindowStyle style_;
    mutable std::mutex mutex_;  // guards the fields below
    std::shared_ptr<CaptureSession> session_;
    Point origin_;
    bool onScreen_ = false;
    bool released_ = false;
    int attachCount_ = 0;
};

class FakePreviewWindows final : public PreviewWindowService {
public:
    explicit FakePreviewWindows(std::shared_ptr<FailureScript> failures) : failures_(std::move(failures)) {}
    std::unique_ptr<PreviewWindow> makeWindow(const PreviewWindowStyle& style) override;

    // Every window made so far, oldest first.
    std::vector<std::shared_ptr<FakePreviewWindowRecord>> windows() const;
    std::shared_ptr<FakePreviewWindowRecord> last() const;
    // Window calls (creation and release included) made off the main queue.
    int offMainQueueCalls() const { return *offMainQueue_; }

private:
    std::shared_ptr<FailureScript> failures_;
    std::shared_ptr<std::atomic<int>> offMainQueue_ = std::make_shared<std::atomic<int>>(0);
    mutable std::mutex mutex_;  // guards windows_
    std::vector<std::shared_ptr<FakePreviewWindowRecord>> windows_;
};

FakePreviewWindows& fakePreviewWindows(Platform& platform);

} // namespace platform::fake
