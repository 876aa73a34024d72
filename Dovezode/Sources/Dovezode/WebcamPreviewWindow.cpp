#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/error.h"
#include "platform/platform.h"
#include "platform/preview_window.h"
#include "platform/queues.h"

#include <atomic>
#include <stdexcept>

namespace {

// Distance of the window's bottom-right corner from the main screen's visible edges.
constexpr double kCornerInset = 32;

// The shared window. Touched only on the main queue; never destroyed at exit, so
// no window is torn down after the main queue has stopped.
std::shared_ptr<WebcamPreviewWindow>& sharedSlot() {
    static auto* slot = new std::shared_ptr<WebcamPreviewWindow>();
    return *slot;
}

// Whether the shared window may be up: set on the main queue when a window is shown,
// cleared there when it is released, read anywhere. Code off the main queue that
// finds it clear knows that no window is up and none is being made (a window is made
// only by show(), which the caller would have to be running itself).
std::atomic<bool>& windowMayBeUp() {
    static auto* flag = new std::atomic<bool>(false);
    return *flag;
}

platform::PreviewWindowStyle styleFor(platform::Size size, PreviewShape shape) {
    platform::PreviewWindowStyle style;
    style.size = size;
    switch (shape) {
    case PreviewShape::original:
        style.cornerRadius = 16;
        style.gravity = platform::VideoGravity::resizeAspect;
        break;
    case PreviewShape::square:
        style.size.height = size.width;
        style.cornerRadius = 32;
        style.gravity = platform::VideoGravity::resizeAspectFill;
        break;
    case PreviewShape::rounded:
        style.size.height = size.width;
        style.circular = true;
        style.gravity = platform::VideoGravity::resizeAspectFill;
        break;
    }
    return style;
}

} // namespace

void WebcamPreviewWindow::show(std::shared_ptr<platform::CaptureSession> session, platform::Size size,
                               PreviewShape shape) {
    if (platform::isMainThread()) throw std::logic_error("WebcamPreviewWindow::show waits for the main queue");
    platform::mainQueue()->sync([&] {
        auto& shared = sharedSlot();
        if (!shared) shared.reset(new WebcamPreviewWindow(session, size, shape));
        windowMayBeUp() = true;
        shared->updateSession(std::move(session));
        shared->orderFront();
    });
}

void WebcamPreviewWindow::hide() {
    platform::mainQueue()->async([] {
        auto window = std::move(sharedSlot());
        windowMayBeUp() = false;
        if (window) window->orderOut();
    });
}

std::shared_ptr<WebcamPreviewWindow> WebcamPreviewWindow::shared() { return sharedSlot(); }

std::shared_ptr<platform::CaptureSession> WebcamPreviewWindow::takeSession() {
    if (!windowMayBeUp()) return nullptr;
    if (platform::isMainThread()) throw std::logic_error("WebcamPreviewWindow::takeSession waits for the main queue");
    std::shared_ptr<platform::CaptureSession> taken;
    platform::mainQueue()->sync([&] {
        auto& shared = sharedSlot();
        if (!shared) return;
        taken = shared->session();
        shared->updateSession(nullptr);
    });
    return taken;
}

WebcamPreviewWindow::WebcamPreviewWindow(std::shared_ptr<platform::CaptureSession> session, platform::Size size,
                                         PreviewShape shape)
    : shape_(shape) {
    auto service = platform::installed().previewWindows;
    if (!service) {
        throw platform::PlatformError("Dovezode.WebcamPreviewWindow", 1,
                                      "This platform has no preview window to show the camera in.");
    }
    window_ = service->makeWindow(styleFor(size, shape));
    window_->attachSession(std::move(session));
    positionBottomRight();
}

WebcamPreviewWindow::~WebcamPreviewWindow() = default;

void WebcamPreviewWindow::updateSession(std::shared_ptr<platform::CaptureSession> session) {
    window_->attachSession(std::move(session));
}

std::shared_ptr<platform::CaptureSession> WebcamPreviewWindow::session() const { return window_->attachedSession(); }

platform::Rect WebcamPreviewWindow::frame() const { return window_->frame(); }

void WebcamPreviewWindow::orderFront() { window_->orderFront(); }

void WebcamPreviewWindow::orderOut() { window_->orderOut(); }

void WebcamPreviewWindow::positionBottomRight() {
    auto& screens = platform::installed().screens;
    if (!screens) return;
    auto all = screens->screens();
    if (all.empty()) return;
    // The main screen: the one showing the main display, else the first.
    const platform::Screen* main = &all.front();
    if (auto number = screens->mainDisplayNumber()) {
        for (const auto& screen : all) {
            if (screen.number == number) main = &screen;
        }
    }
    const platform::Rect visible = main->visibleFrame;
    const platform::Size size = window_->frame().size;
    // The global space has its origin at the top left: the bottom edge is the larger y.
    window_->setFrameOrigin({visible.origin.x + visible.size.width - size.width - kCornerInset,
                             visible.origin.y + visible.size.height - size.height - kCornerInset});
}
