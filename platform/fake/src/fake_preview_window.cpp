#include "platform/fake/fake_preview_window.h"

#include "platform/queues.h"

#include <cmath>

namespace platform::fake {

std::shared_ptr<CaptureSession> FakePreviewWindowRecord::session() const {
    std::lock_guard guard(mutex_);
    return session_;
}

Rect FakePreviewWindowRecord::frame() const {
    std::lock_guard guard(mutex_);
    // Whole pixels, as on X: a half pixel rounds up.
    return {origin_, {std::floor(style_.size.width + 0.5), std::floor(style_.size.height + 0.5)}};
}

bool FakePreviewWindowRecord::onScreen() const {
    std::lock_guard guard(mutex_);
    return onScreen_;
}

bool FakePreviewWindowRecord::released() const {
    std::lock_guard guard(mutex_);
    return released_;
}

int FakePreviewWindowRecord::attachCount() const {
    std::lock_guard guard(mutex_);
    return attachCount_;
}

void FakePreviewWindowRecord::dragTo(Point origin) {
    std::lock_guard guard(mutex_);
    origin_ = {std::round(origin.x), std::round(origin.y)};
}

class FakePreviewWindow final : public PreviewWindow {
public:
    FakePreviewWindow(std::shared_ptr<FakePreviewWindowRecord> record, std::shared_ptr<std::atomic<int>> offMainQueue)
        : record_(std::move(record)), offMainQueue_(std::move(offMainQueue)) {}

    ~FakePreviewWindow() override {
        check();
        std::lock_guard guard(record_->mutex_);
        record_->session_.reset();
        record_->onScreen_ = false;
        record_->released_ = true;
    }

    void attachSession(std::shared_ptr<CaptureSession> session) override {
        check();
        std::lock_guard guard(record_->mutex_);
        record_->session_ = std::move(session);
        ++record_->attachCount_;
    }

    std::shared_ptr<CaptureSession> attachedSession() const override {
        check();
        return record_->session();
    }

    void setFrameOrigin(Point origin) override {
        check();
        record_->dragTo(origin);
    }

    Rect frame() const override {
        check();
        return record_->frame();
    }

    void orderFront() override {
        check();
        std::lock_guard guard(record_->mutex_);
        record_->onScreen_ = true;
    }

    void orderOut() override {
        check();
        std::lock_guard guard(record_->mutex_);
        record_->onScreen_ = false;
    }

private:
    void check() const {
        if (!isMainThread()) ++*offMainQueue_;
    }

    std::shared_ptr<FakePreviewWindowRecord> record_;
    std::shared_ptr<std::atomic<int>> offMainQueue_;
};

std::unique_ptr<PreviewWindow> FakePreviewWindows::makeWindow(const PreviewWindowStyle& style) {
    if (!isMainThread()) ++*offMainQueue_;
    failures_->throwIfScripted(FakeOperation::previewWindowsMakeWindow);
    auto record = std::make_shared<FakePreviewWindowRecord>(style);
    {
        std::lock_guard guard(mutex_);
        windows_.push_back(record);
    }
    return std::make_unique<FakePreviewWindow>(record, offMainQueue_);
}

std::vector<std::shared_ptr<FakePreviewWindowRecord>> FakePreviewWindows::windows() const {
    std::lock_guard guard(mutex_);
    return windows_;
}

std::shared_ptr<FakePreviewWindowRecord> FakePreviewWindows::last() const {
    std::lock_guard guard(mutex_);
    return windows_.empty() ? nullptr : windows_.back();
}

FakePreviewWindows& fakePreviewWindows(Platform& platform) {
    return dynamic_cast<FakePreviewWindows&>(*platform.previewWindows);
}

} // namespace platform::fake
