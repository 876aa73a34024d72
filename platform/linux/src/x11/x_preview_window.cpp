#include "platform/linux/x_preview_windows.h"

#include "x11/preview_frame_slot.h"
#include "x11/x_connection.h"
#include "x11/x_preview_drag.h"
#include "x11/x_preview_image.h"
#include "x11/x_preview_window_setup.h"

#include "platform/descriptor_watch.h"
#include "platform/error.h"
#include "platform/queues.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace platform::linux_backend {
namespace {

constexpr const char* kWindowFailure = "The camera preview window cannot be shown";
constexpr int64_t kPreviewWindowErrorCode = -3820;

int wholePixels(double length) {
    // A half pixel rounds up, the rest to the nearest pixel.
    return std::max(1, static_cast<int>(std::floor(length + 0.5)));
}

// The window on its own connection: made, placed, shown and hidden on request, and
// drawing the newest frame of the attached session. Its events are served on the
// main queue as they come and after each request.
class WindowCore : public std::enable_shared_from_this<WindowCore> {
public:
    WindowCore(const PreviewWindowStyle& style, std::shared_ptr<CaptureSessionService> sessions)
        : style_(style),
          sessions_(std::move(sessions)),
          connection_(XConnection::open(kWindowFailure, kPreviewWindowErrorCode)),
          width_(wholePixels(style.size.width)),
          height_(wholePixels(style.size.height)) {}

    ~WindowCore() {
        detach();
        watch_.reset();
        auto* c = connection_.get();
        if (window_) xcb_destroy_window(c, window_);
        if (colormap_) xcb_free_colormap(c, colormap_);
        xcb_flush(c);
        // The image goes next (it is declared after the connection) and detaches its segment.
    }

    void create() {
        auto* c = connection_.get();
        xcb_screen_t* screen = connection_.screen();
        const PreviewVisual visual = choosePreviewVisual(connection_);
        depth_ = visual.depth;
        window_ = xcb_generate_id(c);
        const uint32_t events = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                XCB_EVENT_MASK_BUTTON_MOTION | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        if (depth_ == 32) {
            colormap_ = xcb_generate_id(c);
            xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap_, screen->root, visual.id);
            const uint32_t values[] = {0, 0, events, colormap_};
            xcb_create_window(c, 32, window_, screen->root, 0, 0, uint16_t(width_), uint16_t(height_), 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, visual.id,
                              XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_EVENT_MASK | XCB_CW_COLORMAP, values);
        } else {
            const uint32_t values[] = {screen->black_pixel, events};
            xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, uint16_t(width_),
                              uint16_t(height_), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual.id,
                              XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        }
        gc_ = xcb_generate_id(c);
        xcb_create_gc(c, gc_, window_, 0, nullptr);
        setPreviewWindowHints(connection_, window_);
        setPreviewNormalHints(connection_, window_, origin_, width_, height_);
        applyShape();
        image_.emplace(connection_, width_, height_, depth_);
        xcb_flush(c);
        connection_.checkAlive(kPreviewWindowErrorCode);
        std::weak_ptr<WindowCore> weak = weak_from_this();
        watch_ = watchReadableOnMainQueue(xcb_get_file_descriptor(c), [weak] {
            if (auto self = weak.lock()) self->serveEvents();
        });
        frames_ = std::make_shared<PreviewFrameSlot>([weak] {
            if (auto self = weak.lock()) self->presentNewest();
        });
    }

    void attach(std::shared_ptr<CaptureSession> session) {
        if (session == session_) return;
        detach();
        session_ = std::move(session);
        if (!session_ || !sessions_) return;
        // The window's own output on the session, as a preview layer taps a session.
        output_ = sessions_->makeVideoDataOutput();
        output_->setSampleBufferDelegate(frames_, frameQueue_);
        if (session_->canAddOutput(output_)) session_->addOutput(output_);
        else output_.reset();
    }

    std::shared_ptr<CaptureSession> session() const { return session_; }

    void setOrigin(Point origin) {
        origin_ = {int32_t(std::lround(origin.x)), int32_t(std::lround(origin.y))};
        const uint32_t values[] = {uint32_t(origin_.first), uint32_t(origin_.second)};
        xcb_configure_window(connection_.get(), window_, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
        setPreviewNormalHints(connection_, window_, origin_, width_, height_);
        xcb_flush(connection_.get());
        serveEvents();
    }

    Rect frame() {
        auto* c = connection_.get();
        auto reply = takeReply(xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, window_, connection_.root(), 0, 0), nullptr));
        Point origin{double(origin_.first), double(origin_.second)};
        if (reply) origin = {double(reply->dst_x), double(reply->dst_y)};
        serveEvents();
        return {origin, {double(width_), double(height_)}};
    }

    void orderFront() {
        auto* c = connection_.get();
        xcb_map_window(c, window_);
        const uint32_t above[] = {XCB_STACK_MODE_ABOVE};
        xcb_configure_window(c, window_, XCB_CONFIG_WINDOW_STACK_MODE, above);
        mapped_ = true;
        // Returns once the server has taken the requests.
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        serveEvents();
    }

    void orderOut() {
        auto* c = connection_.get();
        xcb_unmap_window(c, window_);
        // The synthetic unmap of ICCCM tells a window manager that the window is withdrawn.
        xcb_unmap_notify_event_t notice{};
        notice.response_type = XCB_UNMAP_NOTIFY;
        notice.event = connection_.root();
        notice.window = window_;
        xcb_send_event(c, 0, connection_.root(),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&notice));
        mapped_ = false;
        xcb_flush(c);
    }

private:
    void applyShape() {
        coverage_ = previewCoverage(width_, height_, style_);
        // With a compositor the edge pixels blend by their alpha; without one a pixel is in or out.
        const uint8_t threshold = depth_ == 32 ? 1 : 128;
        const bool shaped = shapePreviewWindow(connection_, window_, coverage_, width_, height_, threshold);
        if (shaped && depth_ != 32) coverage_.clear();  // drawn opaque: the shape alone cuts the edge
    }

    void presentNewest() {
        auto sample = frames_->take();
        if (!sample || !sample->pixels()) return;
        const auto& picture = *sample->pixels();
        if (picture.pixelFormat != pixel_format::bgra || picture.planes.empty() || picture.width <= 0 ||
            picture.height <= 0) {
            return;
        }
        const auto& plane = picture.planes.front();
        drawPreviewFrame(plane.data, plane.bytesPerRow, picture.width, picture.height, image_->pixels(), width_,
                         height_, style_.gravity, coverage_);
        hasPicture_ = true;
        if (mapped_) image_->put(window_, gc_);
    }

    void serveEvents() {
        auto* c = connection_.get();
        if (xcb_connection_has_error(c)) {
            // The server is gone: nothing more will come from it.
            watch_.reset();
            return;
        }
        while (auto* event = xcb_poll_for_event(c)) {
            handle(event);
            free(event);
        }
    }

    void handle(xcb_generic_event_t* event) {
        switch (event->response_type & 0x7f) {
        case XCB_EXPOSE:
            if (reinterpret_cast<xcb_expose_event_t*>(event)->count == 0 && hasPicture_) image_->put(window_, gc_);
            break;
        case XCB_BUTTON_PRESS: {
            auto* press = reinterpret_cast<xcb_button_press_event_t*>(event);
            if (press->detail == XCB_BUTTON_INDEX_1) drag_.press(connection_, window_, *press);
            break;
        }
        case XCB_MOTION_NOTIFY:
            if (auto origin = drag_.originAt(*reinterpret_cast<xcb_motion_notify_event_t*>(event))) setOrigin(*origin);
            break;
        case XCB_BUTTON_RELEASE:
            if (reinterpret_cast<xcb_button_release_event_t*>(event)->detail == XCB_BUTTON_INDEX_1) drag_.release();
            break;
        default:
            break;
        }
    }

    void detach() {
        // Stops the deliveries to this window; the output stays on the session, idle.
        if (output_) output_->setSampleBufferDelegate({}, nullptr);
        output_.reset();
        session_.reset();
    }

    const PreviewWindowStyle style_;
    std::shared_ptr<CaptureSessionService> sessions_;
    XConnection connection_;
    const int width_, height_;
    std::pair<int32_t, int32_t> origin_{0, 0};
    xcb_window_t window_ = 0;
    uint8_t depth_ = 24;
    xcb_colormap_t colormap_ = 0;
    xcb_gcontext_t gc_ = 0;
    std::vector<uint8_t> coverage_;  // empty: drawn opaque
    std::optional<XPreviewImage> image_;
    bool hasPicture_ = false;
    bool mapped_ = false;
    XPreviewDrag drag_;
    std::unique_ptr<DescriptorWatch> watch_;
    std::shared_ptr<PreviewFrameSlot> frames_;
    std::shared_ptr<Queue> frameQueue_ = makeSerialQueue("previewWindowQueue");
    std::shared_ptr<CaptureSession> session_;
    std::shared_ptr<CaptureOutput> output_;
};

class XPreviewWindow final : public PreviewWindow {
public:
    explicit XPreviewWindow(std::shared_ptr<WindowCore> core) : core_(std::move(core)) {}
    ~XPreviewWindow() override = default;

    void attachSession(std::shared_ptr<CaptureSession> session) override { core_->attach(std::move(session)); }
    std::shared_ptr<CaptureSession> attachedSession() const override { return core_->session(); }
    void setFrameOrigin(Point origin) override { core_->setOrigin(origin); }
    Rect frame() const override { return core_->frame(); }
    void orderFront() override { core_->orderFront(); }
    void orderOut() override { core_->orderOut(); }

private:
    std::shared_ptr<WindowCore> core_;
};

class XPreviewWindows final : public PreviewWindowService {
public:
    explicit XPreviewWindows(std::shared_ptr<CaptureSessionService> sessions) : sessions_(std::move(sessions)) {}

    std::unique_ptr<PreviewWindow> makeWindow(const PreviewWindowStyle& style) override {
        auto core = std::make_shared<WindowCore>(style, sessions_);
        core->create();
        return std::make_unique<XPreviewWindow>(std::move(core));
    }

private:
    std::shared_ptr<CaptureSessionService> sessions_;
};

} // namespace

std::shared_ptr<PreviewWindowService> makeXPreviewWindows(std::shared_ptr<CaptureSessionService> sessions) {
    return std::make_shared<XPreviewWindows>(std::move(sessions));
}

} // namespace platform::linux_backend
