#include "platform/linux/x_preview_windows.h"

#include "x11/x_connection.h"

#include "platform/descriptor_watch.h"
#include "platform/error.h"
#include "platform/queues.h"

#include <libyuv.h>
#include <xcb/shape.h>
#include <xcb/shm.h>
#include <xcb/xcb_icccm.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

namespace platform::linux_backend {
namespace {

constexpr const char* kWindowFailure = "The camera preview window cannot be shown";
constexpr int64_t kPreviewWindowErrorCode = -3820;
// _NET_WM_MOVERESIZE_MOVE, and the source indication of a normal application.
constexpr uint32_t kMoveResizeMove = 8;
constexpr uint32_t kSourceApplication = 1;

// ---- Geometry

int wholePixels(double length) {
    // A half pixel rounds up, the rest to the nearest pixel.
    return std::max(1, static_cast<int>(std::floor(length + 0.5)));
}

double coverageAt(double x, double y, int width, int height, const PreviewWindowStyle& style) {
    double distance, radius;
    if (style.circular) {
        radius = std::min(width, height) / 2.0;
        distance = std::hypot(x - width / 2.0, y - height / 2.0);
    } else {
        radius = std::clamp(style.cornerRadius, 0.0, std::min(width, height) / 2.0);
        // Distance from the nearest point of the rectangle shrunk by the radius.
        double nearX = std::clamp(x, radius, width - radius);
        double nearY = std::clamp(y, radius, height - radius);
        distance = std::hypot(x - nearX, y - nearY);
        if (distance == 0) return 1;
    }
    return std::clamp(radius - distance + 0.5, 0.0, 1.0);
}

} // namespace

std::vector<uint8_t> previewCoverage(int width, int height, const PreviewWindowStyle& style) {
    std::vector<uint8_t> coverage(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double value = coverageAt(x + 0.5, y + 0.5, width, height, style);
            coverage[size_t(y) * width + x] = static_cast<uint8_t>(std::lround(value * 255));
        }
    }
    return coverage;
}

void drawPreviewFrame(const uint8_t* source, size_t sourceStride, int sourceWidth, int sourceHeight, uint8_t* target,
                      int width, int height, VideoGravity gravity, const std::vector<uint8_t>& coverage) {
    const int targetStride = width * 4;
    if (gravity == VideoGravity::resizeAspect) {
        // Whole picture, centred, with clear bars where the aspect ratios differ.
        double scale = std::min(double(width) / sourceWidth, double(height) / sourceHeight);
        int fittedWidth = std::clamp(int(std::lround(sourceWidth * scale)), 1, width);
        int fittedHeight = std::clamp(int(std::lround(sourceHeight * scale)), 1, height);
        int left = (width - fittedWidth) / 2, top = (height - fittedHeight) / 2;
        if (fittedWidth != width || fittedHeight != height) std::memset(target, 0, size_t(targetStride) * height);
        libyuv::ARGBScale(source, int(sourceStride), sourceWidth, sourceHeight, target + top * targetStride + left * 4,
                          targetStride, fittedWidth, fittedHeight, libyuv::kFilterBilinear);
    } else {
        // The middle of the picture, as much as fills the window.
        double scale = std::max(double(width) / sourceWidth, double(height) / sourceHeight);
        int croppedWidth = std::clamp(int(std::lround(width / scale)), 1, sourceWidth);
        int croppedHeight = std::clamp(int(std::lround(height / scale)), 1, sourceHeight);
        int left = (sourceWidth - croppedWidth) / 2, top = (sourceHeight - croppedHeight) / 2;
        libyuv::ARGBScale(source + size_t(top) * sourceStride + size_t(left) * 4, int(sourceStride), croppedWidth,
                          croppedHeight, target, targetStride, width, height, libyuv::kFilterBilinear);
    }
    if (coverage.empty()) return;
    // Premultiplied alpha: the coverage scales every channel; inside pixels are opaque.
    const size_t count = size_t(width) * height;
    for (size_t i = 0; i < count; ++i) {
        uint8_t* pixel = target + i * 4;
        const unsigned alpha = coverage[i];
        if (alpha == 255) {
            pixel[3] = 255;
        } else {
            for (int channel = 0; channel < 3; ++channel) pixel[channel] = uint8_t(pixel[channel] * alpha / 255);
            pixel[3] = uint8_t(alpha);
        }
    }
}

namespace {

// ---- Frames from the attached session to the main queue

// The newest frame waiting to be drawn: a frame that arrives before the last one was
// drawn replaces it, so frames never queue up.
class FrameSlot final : public CaptureSampleDelegate {
public:
    explicit FrameSlot(std::function<void()> present) : present_(std::move(present)) {}

    void captureOutputDidOutput(CaptureOutput&, const SampleBufferRef& sample) override {
        bool schedule = false;
        {
            std::lock_guard guard(mutex_);
            latest_ = sample;
            schedule = !scheduled_;
            scheduled_ = true;
        }
        if (schedule) mainQueue()->async(present_);
    }

    SampleBufferRef take() {
        std::lock_guard guard(mutex_);
        scheduled_ = false;
        return std::move(latest_);
    }

private:
    const std::function<void()> present_;
    std::mutex mutex_;  // guards latest_ and scheduled_
    SampleBufferRef latest_;
    bool scheduled_ = false;
};

// ---- The window

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
        if (shmSegment_) xcb_shm_detach(c, shmSegment_);
        if (colormap_) xcb_free_colormap(c, colormap_);
        xcb_flush(c);
        // The server has let go of the segment once it answered a request sent after the detach.
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (pixels_) shmdt(pixels_);
    }

    void create() {
        auto* c = connection_.get();
        xcb_screen_t* screen = connection_.screen();
        chooseVisual();
        window_ = xcb_generate_id(c);
        const uint32_t events = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                XCB_EVENT_MASK_BUTTON_MOTION | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        if (depth_ == 32) {
            colormap_ = xcb_generate_id(c);
            xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap_, screen->root, visual_);
            const uint32_t values[] = {0, 0, events, colormap_};
            xcb_create_window(c, 32, window_, screen->root, 0, 0, uint16_t(width_), uint16_t(height_), 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, visual_,
                              XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_EVENT_MASK | XCB_CW_COLORMAP, values);
        } else {
            const uint32_t values[] = {screen->black_pixel, events};
            xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, uint16_t(width_),
                              uint16_t(height_), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual_,
                              XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        }
        gc_ = xcb_generate_id(c);
        xcb_create_gc(c, gc_, window_, 0, nullptr);
        setHints();
        applyShape();
        setUpImage();
        xcb_flush(c);
        connection_.checkAlive(kPreviewWindowErrorCode);
        std::weak_ptr<WindowCore> weak = weak_from_this();
        watch_ = watchReadableOnMainQueue(xcb_get_file_descriptor(c), [weak] {
            if (auto self = weak.lock()) self->serveEvents();
        });
        frames_ = std::make_shared<FrameSlot>([weak] {
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
        setNormalHints();
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
    // ---- Set-up

    xcb_atom_t atom(const char* name) { return internAtom(connection_, name); }

    void chooseVisual() {
        xcb_screen_t* screen = connection_.screen();
        visual_ = screen->root_visual;
        depth_ = screen->root_depth;
        // A compositing manager owns the _NET_WM_CM_S<screen> selection; only then is an ARGB window blended.
        xcb_atom_t selection = atom(("_NET_WM_CM_S" + std::to_string(screenNumber())).c_str());
        auto owner = takeReply(xcb_get_selection_owner_reply(connection_.get(),
                                                             xcb_get_selection_owner(connection_.get(), selection), nullptr));
        if (!owner || owner->owner == XCB_NONE) return;
        for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
            if (depths.data->depth != 32) continue;
            for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals)) {
                if (visuals.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
                    visual_ = visuals.data->visual_id;
                    depth_ = 32;
                    return;
                }
            }
        }
    }

    int screenNumber() const {
        int index = 0;
        for (auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection_.get())); roots.rem;
             xcb_screen_next(&roots), ++index) {
            if (roots.data->root == connection_.root()) return index;
        }
        return 0;
    }

    void setProperty(const char* name, xcb_atom_t type, uint8_t format, uint32_t count, const void* data) {
        xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, window_, atom(name), type, format, count, data);
    }

    void setHints() {
        const std::string title = "Camera preview";
        setProperty("WM_NAME", XCB_ATOM_STRING, 8, uint32_t(title.size()), title.data());
        setProperty("_NET_WM_NAME", atom("UTF8_STRING"), 8, uint32_t(title.size()), title.data());
        const char windowClass[] = "tavrik\0Tavrik";
        setProperty("WM_CLASS", XCB_ATOM_STRING, 8, sizeof windowClass, windowClass);
        // Motif hints: only the decorations field counts (flag 2), and it asks for none.
        const uint32_t motif[] = {2, 0, 0, 0, 0};
        setProperty("_MOTIF_WM_HINTS", atom("_MOTIF_WM_HINTS"), 32, 5, motif);
        const xcb_atom_t states[] = {atom("_NET_WM_STATE_ABOVE"), atom("_NET_WM_STATE_STICKY"),
                                     atom("_NET_WM_STATE_SKIP_TASKBAR"), atom("_NET_WM_STATE_SKIP_PAGER")};
        setProperty("_NET_WM_STATE", XCB_ATOM_ATOM, 32, 4, states);
        const uint32_t allDesktops = 0xFFFFFFFF;
        setProperty("_NET_WM_DESKTOP", XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
        const uint32_t pid = uint32_t(getpid());
        setProperty("_NET_WM_PID", XCB_ATOM_CARDINAL, 32, 1, &pid);
        setNormalHints();
    }

    // The program chose the place (a window manager keeps it) and the size is fixed.
    void setNormalHints() {
        xcb_size_hints_t hints{};
        xcb_icccm_size_hints_set_position(&hints, 1, origin_.first, origin_.second);
        xcb_icccm_size_hints_set_min_size(&hints, width_, height_);
        xcb_icccm_size_hints_set_max_size(&hints, width_, height_);
        xcb_icccm_set_wm_normal_hints(connection_.get(), window_, &hints);
    }

    void applyShape() {
        coverage_ = previewCoverage(width_, height_, style_);
        const auto* shape = xcb_get_extension_data(connection_.get(), &xcb_shape_id);
        if (!shape || !shape->present) return;
        // With a compositor the edge pixels blend by their alpha; without one a pixel is in or out.
        const uint8_t threshold = depth_ == 32 ? 1 : 128;
        std::vector<xcb_rectangle_t> rows;
        for (int y = 0; y < height_; ++y) {
            const uint8_t* row = coverage_.data() + size_t(y) * width_;
            int left = 0, right = width_;
            while (left < width_ && row[left] < threshold) ++left;
            while (right > left && row[right - 1] < threshold) --right;
            if (left == right) continue;
            if (!rows.empty() && rows.back().x == left && rows.back().width == right - left &&
                rows.back().y + rows.back().height == y) {
                ++rows.back().height;
            } else {
                rows.push_back({int16_t(left), int16_t(y), uint16_t(right - left), 1});
            }
        }
        xcb_shape_rectangles(connection_.get(), XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_YX_BANDED,
                             window_, 0, 0, uint32_t(rows.size()), rows.data());
        if (depth_ != 32) coverage_.clear();  // drawn opaque: the shape alone cuts the edge
    }

    void setUpImage() {
        auto* c = connection_.get();
        const size_t size = size_t(width_) * height_ * 4;
        const auto* shm = xcb_get_extension_data(c, &xcb_shm_id);
        if (shm && shm->present) {
            int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
            if (id >= 0) {
                void* address = shmat(id, nullptr, 0);
                if (address != reinterpret_cast<void*>(-1)) {
                    xcb_shm_seg_t segment = xcb_generate_id(c);
                    auto error = takeReply(xcb_request_check(c, xcb_shm_attach_checked(c, segment, uint32_t(id), 0)));
                    if (!error) {
                        pixels_ = static_cast<uint8_t*>(address);
                        shmSegment_ = segment;
                    } else {
                        shmdt(address);
                    }
                }
                shmctl(id, IPC_RMID, nullptr);
            }
        }
        if (!pixels_) fallback_.assign(size, 0);
        else std::memset(pixels_, 0, size);
    }

    // ---- Drawing

    uint8_t* image() { return pixels_ ? pixels_ : fallback_.data(); }

    void presentNewest() {
        auto sample = frames_->take();
        if (!sample || !sample->pixels()) return;
        const auto& picture = *sample->pixels();
        if (picture.pixelFormat != pixel_format::bgra || picture.planes.empty() || picture.width <= 0 ||
            picture.height <= 0) {
            return;
        }
        const auto& plane = picture.planes.front();
        drawPreviewFrame(plane.data, plane.bytesPerRow, picture.width, picture.height, image(), width_, height_,
                         style_.gravity, coverage_);
        hasPicture_ = true;
        if (mapped_) putImage();
    }

    void putImage() {
        auto* c = connection_.get();
        if (pixels_) {
            xcb_shm_put_image(c, window_, gc_, uint16_t(width_), uint16_t(height_), 0, 0, uint16_t(width_),
                              uint16_t(height_), 0, 0, depth_, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, shmSegment_, 0);
        } else {
            xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window_, gc_, uint16_t(width_), uint16_t(height_), 0, 0, 0,
                          depth_, uint32_t(fallback_.size()), fallback_.data());
        }
        xcb_flush(c);
    }

    // ---- Events

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
            if (reinterpret_cast<xcb_expose_event_t*>(event)->count == 0 && hasPicture_) putImage();
            break;
        case XCB_BUTTON_PRESS: {
            auto* press = reinterpret_cast<xcb_button_press_event_t*>(event);
            if (press->detail == XCB_BUTTON_INDEX_1) beginDrag(*press);
            break;
        }
        case XCB_MOTION_NOTIFY: {
            auto* motion = reinterpret_cast<xcb_motion_notify_event_t*>(event);
            if (dragging_) {
                setOrigin({double(motion->root_x - dragOffset_.first), double(motion->root_y - dragOffset_.second)});
            }
            break;
        }
        case XCB_BUTTON_RELEASE:
            if (reinterpret_cast<xcb_button_release_event_t*>(event)->detail == XCB_BUTTON_INDEX_1) dragging_ = false;
            break;
        default:
            break;
        }
    }

    void beginDrag(const xcb_button_press_event_t& press) {
        auto* c = connection_.get();
        if (windowManagerMoves()) {
            // The window manager takes the pointer over from the press's implicit grab.
            xcb_ungrab_pointer(c, press.time);
            xcb_client_message_event_t message{};
            message.response_type = XCB_CLIENT_MESSAGE;
            message.format = 32;
            message.window = window_;
            message.type = atom("_NET_WM_MOVERESIZE");
            message.data.data32[0] = uint32_t(press.root_x);
            message.data.data32[1] = uint32_t(press.root_y);
            message.data.data32[2] = kMoveResizeMove;
            message.data.data32[3] = XCB_BUTTON_INDEX_1;
            message.data.data32[4] = kSourceApplication;
            xcb_send_event(c, 0, connection_.root(),
                           XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                           reinterpret_cast<const char*>(&message));
            xcb_flush(c);
            return;
        }
        // Without one, the window follows the pointer while the button is held.
        dragging_ = true;
        dragOffset_ = {press.event_x, press.event_y};
    }

    // A window manager is running (it names its check window) and supports _NET_WM_MOVERESIZE.
    bool windowManagerMoves() {
        auto* c = connection_.get();
        auto check = takeReply(xcb_get_property_reply(
            c, xcb_get_property(c, 0, connection_.root(), atom("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW, 0, 1),
            nullptr));
        if (!check || xcb_get_property_value_length(check.get()) < 4) return false;
        auto supported = takeReply(xcb_get_property_reply(
            c, xcb_get_property(c, 0, connection_.root(), atom("_NET_SUPPORTED"), XCB_ATOM_ATOM, 0, 4096), nullptr));
        if (!supported) return false;
        const xcb_atom_t moveResize = atom("_NET_WM_MOVERESIZE");
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(supported.get()));
        const int count = xcb_get_property_value_length(supported.get()) / 4;
        return std::find(atoms, atoms + count, moveResize) != atoms + count;
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
    xcb_visualid_t visual_ = 0;
    uint8_t depth_ = 24;
    xcb_colormap_t colormap_ = 0;
    xcb_gcontext_t gc_ = 0;
    std::vector<uint8_t> coverage_;  // empty: drawn opaque
    xcb_shm_seg_t shmSegment_ = 0;
    uint8_t* pixels_ = nullptr;      // the shared image, or null
    std::vector<uint8_t> fallback_;  // the image without shared memory
    bool hasPicture_ = false;
    bool mapped_ = false;
    bool dragging_ = false;
    std::pair<int16_t, int16_t> dragOffset_{0, 0};
    std::unique_ptr<DescriptorWatch> watch_;
    std::shared_ptr<FrameSlot> frames_;
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
