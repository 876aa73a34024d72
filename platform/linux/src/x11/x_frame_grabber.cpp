#include "x11/x_frame_grabber.h"

#include "platform/error.h"
#include "x11/x_monitors.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform::linux_backend {

// The connection that shared-memory blocks detach from; null once it is closed,
// as blocks may outlive it in the hands of consumers.
struct XFrameGrabber::ShmLink {
    std::mutex mutex;  // guards connection
    xcb_connection_t* connection = nullptr;
};

namespace {

constexpr const char* kCannotCapture = "The screen cannot be captured";

[[noreturn]] void refuse(int64_t code, const std::string& reason) {
    throw PlatformError(kStreamErrorDomain, code, std::string(kCannotCapture) + ": " + reason);
}

struct ShmMemory final : FrameMemory {
    std::shared_ptr<void> link;  // XFrameGrabber::ShmLink
    uint32_t segment = 0;
    ~ShmMemory() override;
};

bool extensionPresent(xcb_connection_t* connection, xcb_extension_t* extension) {
    const auto* data = xcb_get_extension_data(connection, extension);
    return data && data->present;
}

bool intersects(int32_t ax, int32_t ay, int32_t aw, int32_t ah, int32_t bx, int32_t by, int32_t bw, int32_t bh) {
    return ax < bx + bw && bx < ax + aw && ay < by + bh && by < ay + ah;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

ShmMemory::~ShmMemory() {
    if (!data) return;
    if (auto* shared = static_cast<XFrameGrabber::ShmLink*>(link.get())) {
        std::lock_guard guard(shared->mutex);
        if (shared->connection) {
            xcb_shm_detach(shared->connection, segment);
            xcb_flush(shared->connection);
        }
    }
    shmdt(data);
}

XFrameGrabber::XFrameGrabber(const ContentFilter& filter, const std::optional<Rect>& sourceRect, bool showsCursor,
                             size_t maximumPictures)
    : connection_(XConnection::open(kCannotCapture, kStreamErrorFailedToStart)),
      isWindow_(filter.isWindow()),
      sourceRect_(sourceRect),
      showsCursor_(showsCursor),
      shmLink_(std::make_shared<ShmLink>()) {
    checkScreenFormat();
    prepareExtensions();
    if (isWindow_) {
        prepareWindow(filter.window()->windowID);
    } else {
        refuseWaylandDesktop();
        if (!filter.display()) refuse(kStreamErrorNoCaptureSource, "the stream shows neither a display nor a window.");
        displayNumber_ = filter.display()->displayID;
        Rect frame = filter.display()->frame;
        if (sourceRect_) {
            frame = intersection(frame, {{frame.origin.x + sourceRect_->origin.x, frame.origin.y + sourceRect_->origin.y},
                                         sourceRect_->size});
        }
        const xcb_screen_t* screen = connection_.screen();
        frame = intersection(frame, {{0, 0}, {double(screen->width_in_pixels), double(screen->height_in_pixels)}});
        region_ = {int32_t(std::floor(frame.origin.x)), int32_t(std::floor(frame.origin.y)),
                   int32_t(std::floor(frame.size.width)), int32_t(std::floor(frame.size.height))};
        drawable_ = connection_.root();
        rootX_ = region_.x;
        rootY_ = region_.y;
        if (damage_ == 0 && damageEvent_ != 0) {
            damage_ = xcb_generate_id(connection_.get());
            xcb_damage_create(connection_.get(), damage_, drawable_, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
        }
        if (extensionPresent(connection_.get(), &xcb_randr_id)) {
            randrEvent_ = xcb_get_extension_data(connection_.get(), &xcb_randr_id)->first_event;
            xcb_randr_select_input(connection_.get(), drawable_,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);
        }
    }
    if (damage_ != 0) {
        damagedRegion_ = xcb_generate_id(connection_.get());
        xcb_xfixes_create_region(connection_.get(), damagedRegion_, 0, nullptr);
    }
    if (region_.width <= 0 || region_.height <= 0) {
        refuse(kStreamErrorNoCaptureSource, "the rectangle to capture is empty or lies outside the X screen.");
    }
    // Video is encoded in 2 x 2 blocks of pixels: a thinner picture could never be recorded.
    if (region_.width < 2 || region_.height < 2) {
        refuse(kStreamErrorNoCaptureSource, "the rectangle to capture is " + std::to_string(region_.width) + " x " +
                                                std::to_string(region_.height) +
                                                " pixels, less than the 2 x 2 pixels a video needs.");
    }

    if (hasShm_) {
        std::lock_guard guard(shmLink_->mutex);
        shmLink_->connection = connection_.get();
    }
    auto link = shmLink_;
    xcb_connection_t* connection = connection_.get();
    FrameMemoryPool::Allocate allocate = FrameMemoryPool::heap();
    if (hasShm_) {
        allocate = [link, connection](size_t size) -> std::unique_ptr<FrameMemory> {
            int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
            if (id < 0) return nullptr;
            void* address = shmat(id, nullptr, 0);
            if (address == reinterpret_cast<void*>(-1)) {
                shmctl(id, IPC_RMID, nullptr);
                return nullptr;
            }
            auto memory = std::make_unique<ShmMemory>();
            memory->data = static_cast<uint8_t*>(address);
            memory->size = size;
            memory->segment = xcb_generate_id(connection);
            auto error = takeReply(xcb_request_check(connection, xcb_shm_attach_checked(connection, memory->segment, id, 0)));
            // Removed now: it goes away once both sides have detached.
            shmctl(id, IPC_RMID, nullptr);
            if (error) {
                shmdt(address);
                memory->data = nullptr;
                return nullptr;
            }
            memory->link = link;
            return memory;
        };
    }
    const size_t pictureBytes = size_t(region_.width) * 4 * size_t(region_.height);
    pool_ = std::make_shared<FrameMemoryPool>(
        blocksWithin(kGrabbedPicturesBytes, pictureBytes, std::min(kMinimumGrabbedPictures, maximumPictures),
                     maximumPictures),
        std::move(allocate));
    xcb_flush(connection_.get());
    connection_.checkAlive(kStreamErrorFailedToStart);
}

XFrameGrabber::~XFrameGrabber() {
    std::lock_guard guard(shmLink_->mutex);
    shmLink_->connection = nullptr;  // blocks still out only unmap their memory from now on
}

void XFrameGrabber::checkScreenFormat() {
    const xcb_setup_t* setup = xcb_get_setup(connection_.get());
    const xcb_screen_t* screen = connection_.screen();
    uint8_t bitsPerPixel = 0;
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem; xcb_format_next(&formats)) {
        if (formats.data->depth == screen->root_depth) bitsPerPixel = formats.data->bits_per_pixel;
    }
    bool bgra = false;
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals)) {
            const xcb_visualtype_t* visual = visuals.data;
            if (visual->visual_id != screen->root_visual) continue;
            bgra = visual->red_mask == 0xff0000 && visual->green_mask == 0xff00 && visual->blue_mask == 0xff;
        }
    }
    if (bitsPerPixel != 32 || !bgra || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        refuse(kStreamErrorFailedToStart, "the X screen has depth " + std::to_string(screen->root_depth) + " at " +
                                              std::to_string(bitsPerPixel) +
                                              " bits a pixel; only 24-bit true-colour screens stored as 32-bit BGRA "
                                              "can be captured.");
    }
}

// Behind XWayland the root window shows only the X11 windows; the rest of a
// Wayland desktop would come out black.
void XFrameGrabber::refuseWaylandDesktop() {
    bool wayland = !environment("WAYLAND_DISPLAY").empty() || environment("XDG_SESSION_TYPE") == "wayland";
    if (!wayland) return;
    const char name[] = "XWAYLAND";
    auto reply = takeReply(xcb_query_extension_reply(
        connection_.get(), xcb_query_extension(connection_.get(), sizeof name - 1, name), nullptr));
    if (reply && reply->present) {
        refuse(kStreamErrorFailedToStart,
               "this is a Wayland session, and its X server (XWayland) shows only the X11 windows of the desktop: "
               "the rest would be recorded black. Record a window of an X11 application, or log in to an X11 session.");
    }
}

void XFrameGrabber::prepareExtensions() {
    xcb_connection_t* c = connection_.get();
    if (extensionPresent(c, &xcb_shm_id)) {
        hasShm_ = takeReply(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr)) != nullptr;
    }
    if (extensionPresent(c, &xcb_xfixes_id)) {
        hasXfixes_ = takeReply(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr)) != nullptr;
    }
    if (hasXfixes_ && extensionPresent(c, &xcb_damage_id) &&
        takeReply(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr))) {
        damageEvent_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
    }
    if (extensionPresent(c, &xcb_composite_id)) {
        auto version = takeReply(xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
        hasComposite_ = version && (version->major_version > 0 || version->minor_version >= 2);
    }
}

void XFrameGrabber::prepareWindow(xcb_window_t window) {
    xcb_connection_t* c = connection_.get();
    // Window managers put the window into a frame of theirs: the frame, a child of the root, is what is shown.
    xcb_window_t topLevel = window;
    while (true) {
        auto tree = takeReply(xcb_query_tree_reply(c, xcb_query_tree(c, topLevel), nullptr));
        if (!tree) refuse(kStreamErrorNoCaptureSource, "the window " + std::to_string(window) + " does not exist.");
        if (tree->parent == tree->root || tree->parent == XCB_NONE) break;
        topLevel = tree->parent;
    }
    window_ = topLevel;
    uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, window_, XCB_CW_EVENT_MASK, &events);
    if (hasComposite_) xcb_composite_redirect_window(c, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    auto geometry = takeReply(xcb_get_geometry_reply(c, xcb_get_geometry(c, window_), nullptr));
    if (!geometry) refuse(kStreamErrorNoCaptureSource, "the window " + std::to_string(window) + " does not exist.");
    region_ = windowRegion(geometry->width, geometry->height);
    nameWindowPixmap();
    if (damageEvent_ != 0) {
        damage_ = xcb_generate_id(c);
        xcb_damage_create(c, damage_, window_, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
    }
}

XFrameGrabber::Region XFrameGrabber::windowRegion(int32_t width, int32_t height) const {
    Rect rect{{0, 0}, {double(width), double(height)}};
    if (sourceRect_) rect = intersection(rect, *sourceRect_);
    return {int32_t(std::floor(rect.origin.x)), int32_t(std::floor(rect.origin.y)), int32_t(std::floor(rect.size.width)),
            int32_t(std::floor(rect.size.height))};
}

// The window's off-screen pixmap changes with its size: named again after each resize.
void XFrameGrabber::nameWindowPixmap() {
    xcb_connection_t* c = connection_.get();
    if (!hasComposite_) {
        drawable_ = window_;
        return;
    }
    if (windowPixmap_ != XCB_NONE) xcb_free_pixmap(c, windowPixmap_);
    windowPixmap_ = xcb_generate_id(c);
    xcb_composite_name_window_pixmap(c, window_, windowPixmap_);
    drawable_ = windowPixmap_;
}

void XFrameGrabber::lost() const {
    throw PlatformError(kStreamErrorDomain, kStreamErrorSystemStoppedStream,
                        "The screen capture stopped: the connection to the X server was lost.");
}

void XFrameGrabber::handleEvent(const xcb_generic_event_t& event) {
    const uint8_t type = event.response_type & 0x7f;
    if (damageEvent_ != 0 && type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
        const auto& notify = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
        const auto& area = notify.area;
        if (intersects(area.x, area.y, area.width, area.height, region_.x, region_.y, region_.width, region_.height)) {
            dirty_ = true;
        }
        return;
    }
    if (randrEvent_ != 0 &&
        (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvent_ + XCB_RANDR_NOTIFY)) {
        displayChanged_ = true;
        return;
    }
    if (type == XCB_CONFIGURE_NOTIFY) {
        const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        if (configure.window != window_) return;
        Region resized = windowRegion(configure.width, configure.height);
        if (resized.width != region_.width || resized.height != region_.height) {
            region_ = resized;
            nameWindowPixmap();
        }
        dirty_ = true;
        wholePictureChanged_ = true;
        return;
    }
    if (type == XCB_DESTROY_NOTIFY) {
        const auto& destroyed = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
        if (destroyed.window != window_) return;
        throw PlatformError(kStreamErrorDomain, kStreamErrorNoCaptureSource,
                            "The screen capture stopped: the window was closed.");
    }
    if (type == XCB_MAP_NOTIFY && isWindow_) {
        nameWindowPixmap();  // an unmapped window has no pixmap to show
        dirty_ = true;
        wholePictureChanged_ = true;
    }
}

void XFrameGrabber::followDisplay() {
    displayChanged_ = false;
    xcb_connection_t* c = connection_.get();
    auto root = takeReply(xcb_get_geometry_reply(c, xcb_get_geometry(c, connection_.root()), nullptr));
    if (!root) lost();
    const Rect screen{{0, 0}, {double(root->width), double(root->height)}};
    const auto monitors = listMonitors(connection_, false);
    const auto monitor = std::find_if(monitors.begin(), monitors.end(),
                                      [&](const XMonitor& m) { return m.number == displayNumber_; });
    if (monitor == monitors.end()) {
        throw PlatformError(kStreamErrorDomain, kStreamErrorNoCaptureSource,
                            "The screen capture stopped: the display is no longer connected.");
    }
    Rect frame = intersection(monitor->frame, screen);
    if (sourceRect_) {
        frame = intersection(frame, {{monitor->frame.origin.x + sourceRect_->origin.x,
                                      monitor->frame.origin.y + sourceRect_->origin.y},
                                     sourceRect_->size});
    }
    const Region followed{int32_t(std::floor(frame.origin.x)), int32_t(std::floor(frame.origin.y)),
                          int32_t(std::floor(frame.size.width)), int32_t(std::floor(frame.size.height))};
    if (followed.width < 2 || followed.height < 2) {
        const std::string size = std::to_string(int64_t(monitor->frame.size.width)) + " x " +
                                 std::to_string(int64_t(monitor->frame.size.height));
        throw PlatformError(kStreamErrorDomain, kStreamErrorNoCaptureSource,
                            sourceRect_ ? "The screen capture stopped: the display changed its size to " + size +
                                              " pixels, and the crop rectangle no longer lies on it."
                                        : "The screen capture stopped: the display changed its size to " + size +
                                              " pixels, too small to record.");
    }
    if (followed.x == region_.x && followed.y == region_.y && followed.width == region_.width &&
        followed.height == region_.height) {
        return;
    }
    region_ = followed;
    rootX_ = region_.x;
    rootY_ = region_.y;
    dirty_ = true;
    // Rows of pictures of the old rectangle say nothing of the new one.
    wholePictureChanged_ = true;
}

void XFrameGrabber::readCursor() {
    xcb_connection_t* c = connection_.get();
    auto cursorCookie = XCursorImage::ask(c);
    std::optional<xcb_translate_coordinates_cookie_t> position;
    if (isWindow_) position = xcb_translate_coordinates(c, window_, connection_.root(), 0, 0);
    cursor_ = XCursorImage::take(c, cursorCookie);
    if (position) {
        auto reply = takeReply(xcb_translate_coordinates_reply(c, *position, nullptr));
        if (reply) {
            rootX_ = reply->dst_x + region_.x;
            rootY_ = reply->dst_y + region_.y;
        }
    }
    std::optional<CursorPlacement> now;
    if (cursor_) now = CursorPlacement{cursor_->left(), cursor_->top(), cursor_->width(), cursor_->height(), cursor_->serial()};
    if (now == lastCursor_) return;
    // A pointer that moved or changed shape changes the picture only where it is, or was.
    auto overlaps = [&](const std::optional<CursorPlacement>& at) {
        return at && intersects(at->left, at->top, at->width, at->height, rootX_, rootY_, region_.width, region_.height);
    };
    if (overlaps(lastCursor_) || overlaps(now)) dirty_ = true;
    lastCursor_ = now;
}

bool XFrameGrabber::changed() {
    xcb_connection_t* c = connection_.get();
    while (auto* event = xcb_poll_for_event(c)) {
        auto owned = takeReply(event);
        handleEvent(*owned);
    }
    if (xcb_connection_has_error(c)) lost();
    if (displayChanged_) followDisplay();
    if (damage_ == 0) dirty_ = true;
    if (showsCursor_ && hasXfixes_) readCursor();
    if (xcb_connection_has_error(c)) lost();
    return dirty_;
}

void XFrameGrabber::prepareMemory(size_t pictures) {
    pool_->prepare(pictures, size_t(region_.width) * 4 * size_t(region_.height));
}

std::optional<GrabbedPicture> XFrameGrabber::grab() {
    const size_t rowBytes = size_t(region_.width) * 4;
    auto memory = pool_->acquire(rowBytes * size_t(region_.height));
    if (!memory) return std::nullopt;
    xcb_connection_t* c = connection_.get();
    std::vector<RowSpan> damaged;
    bool damageKnown = false;
    if (damage_ != 0) {
        // The damage the grab repairs, read back: the rows the picture may differ in.
        xcb_damage_subtract(c, damage_, XCB_NONE, damagedRegion_);
        auto parts = takeReply(xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, damagedRegion_), nullptr));
        if (parts) {
            damaged = damagedRows(xcb_xfixes_fetch_region_rectangles(parts.get()),
                                  xcb_xfixes_fetch_region_rectangles_length(parts.get()),
                                  {region_.x, region_.y, region_.width, region_.height});
            damageKnown = true;
        }
    }
    if (!damageKnown) wholePictureChanged_ = true;
    if (wholePictureChanged_) history_.clear();
    // A block that holds one of the last pictures needs only the rows changed since.
    const auto rows = history_.rowsToRefresh(memory->picture, damaged, region_.height);
    memory->picture = 0;
    if (!grabInto(*memory, rows)) {
        lastPicture_ = 0;  // the damage subtracted is in no picture
        history_.clear();
        if (xcb_connection_has_error(c)) lost();
        return std::nullopt;
    }
    if (showsCursor_ && cursor_) cursor_->drawOver(memory->data, rowBytes, region_.width, region_.height, rootX_, rootY_);
    dirty_ = false;
    PictureChange change = changeSinceLastPicture(damaged);
    memory->picture = change.picture;
    history_.add(change.picture, change.rows, cursorRowsInLastPicture_);
    return GrabbedPicture{memory, {memory->data, rowBytes, region_.width, region_.height}, std::move(change)};
}

std::optional<RowSpan> XFrameGrabber::cursorRows() const {
    if (!showsCursor_ || !cursor_) return std::nullopt;
    return RowSpan{cursor_->top() - rootY_, cursor_->top() - rootY_ + cursor_->height()};
}

PictureChange XFrameGrabber::changeSinceLastPicture(const std::vector<RowSpan>& damaged) {
    PictureChange change;
    change.picture = nextPictureNumber();
    const std::optional<RowSpan> cursor = cursorRows();
    if (wholePictureChanged_ || lastPicture_ == 0) {
        change.rows = {{0, region_.height}};
    } else {
        change.previousPicture = lastPicture_;
        change.rows = damaged;
        // The pointer is drawn over each picture: where it was and where it is now may differ.
        for (const auto& rows : {cursorRowsInLastPicture_, cursor}) {
            if (rows) addRows(change.rows, rows->begin, rows->end, region_.height);
        }
    }
    lastPicture_ = change.picture;
    wholePictureChanged_ = false;
    cursorRowsInLastPicture_ = cursor;
    return change;
}

bool XFrameGrabber::grabInto(FrameMemory& memory, const std::optional<std::vector<RowSpan>>& rows) {
    xcb_connection_t* c = connection_.get();
    const auto x = int16_t(region_.x), y = int16_t(region_.y);
    const auto width = uint16_t(region_.width), height = uint16_t(region_.height);
    if (hasShm_) {
        // Beyond a few spans of rows, one request for all is cheaper.
        constexpr size_t kMostSpans = 16;
        const std::vector<RowSpan> spans =
            rows && rows->size() <= kMostSpans ? *rows : std::vector<RowSpan>{{0, region_.height}};
        auto& shm = static_cast<ShmMemory&>(memory);
        std::vector<xcb_shm_get_image_cookie_t> cookies;
        for (const RowSpan& span : spans) {
            cookies.push_back(xcb_shm_get_image(c, drawable_, x, int16_t(y + span.begin), width,
                                                uint16_t(span.end - span.begin), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                                shm.segment, uint32_t(size_t(span.begin) * size_t(width) * 4)));
        }
        bool grabbed = true;
        for (auto cookie : cookies) grabbed = takeReply(xcb_shm_get_image_reply(c, cookie, nullptr)) != nullptr && grabbed;
        return grabbed;
    }
    auto reply = takeReply(xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable_, x, y, width, height, ~0u), nullptr));
    if (!reply) return false;
    const size_t rowBytes = size_t(width) * 4;
    if (size_t(xcb_get_image_data_length(reply.get())) < rowBytes * height) return false;
    std::memcpy(memory.data, xcb_get_image_data(reply.get()), rowBytes * height);
    return true;
}

} // namespace platform::linux_backend
