#pragma once
// Grabs the pictures of one stream from the X server on the stream's own
// connection: a rectangle of the root window for a display, or a window's own
// contents (its XComposite pixmap, so overlapping windows do not hide it). Tells
// whether anything changed since the last grab (XDamage, the pointer moving or
// changing shape) and draws the pointer over the picture when asked.
//
// A display that changes its size or place (RandR) is followed: the rectangle grabbed
// becomes the display's new one, the crop clipped to it; pictures then have that size.

#include "common/frame_memory_pool.h"
#include "common/frame_pixels.h"
#include "x11/damaged_rows.h"
#include "x11/x_connection.h"
#include "x11/x_cursor.h"

#include "platform/screen_stream.h"

#include <memory>
#include <optional>

namespace platform::linux_backend {

struct GrabbedPicture {
    std::shared_ptr<FrameMemory> memory;  // keeps `view` alive
    BgraView view;
    PictureChange change;  // against the grabber's picture before it
};

// The pictures a grabber keeps in memory at once (grabbed, and held by consumers) are
// bounded in bytes rather than in number: six at 1920 x 1080, where they cost 8.3 MB
// each, and the minimum of three at 3840 x 2160 (33 MB each).
inline constexpr size_t kGrabbedPicturesBytes = size_t(48) << 20;
inline constexpr size_t kMinimumGrabbedPictures = 3;

class XFrameGrabber {
public:
    // Connects and prepares the grabs, keeping at most `maximumPictures` pictures (fewer
    // when they would take more than kGrabbedPicturesBytes). Throws PlatformError
    // (kStreamErrorDomain) saying why the picture cannot be captured: no X server, a
    // Wayland desktop behind XWayland, an unsupported screen format, a window that is
    // gone, an empty rectangle.
    XFrameGrabber(const ContentFilter& filter, const std::optional<Rect>& sourceRect, bool showsCursor,
                  size_t maximumPictures);
    ~XFrameGrabber();
    XFrameGrabber(const XFrameGrabber&) = delete;
    XFrameGrabber& operator=(const XFrameGrabber&) = delete;

    // Size of the pictures grab() gives now (a window may be resized).
    int32_t width() const { return region_.width; }
    int32_t height() const { return region_.height; }
    // Whether damage detection works here; without it every grab counts as changed.
    bool detectsChanges() const { return damage_ != 0; }

    // Makes the memory of `pictures` pictures of the present size ready now, so that the
    // first grabs do not wait for the system to provide it.
    void prepareMemory(size_t pictures);

    // Reads what the server reported; true while something changed that no grab has shown yet.
    // Throws PlatformError when the connection broke, the window went away, the display is
    // gone, or the crop no longer meets the display after it changed its size.
    bool changed();
    // The picture now, pointer drawn; nullopt when every memory block is still out
    // (the consumers lag) or the window cannot be read at the moment.
    std::optional<GrabbedPicture> grab();

    // The connection shared-memory blocks detach from (defined with the grabber).
    struct ShmLink;

private:
    struct Region {
        int32_t x = 0;  // in the drawable's coordinates
        int32_t y = 0;
        int32_t width = 0;
        int32_t height = 0;
    };
    struct CursorPlacement {
        int32_t left, top, width, height;
        uint32_t serial;
        bool operator==(const CursorPlacement&) const = default;
    };

    void checkScreenFormat();
    void refuseWaylandDesktop();
    void prepareExtensions();
    void prepareWindow(xcb_window_t window);
    void nameWindowPixmap();
    Region windowRegion(int32_t width, int32_t height) const;
    void handleEvent(const xcb_generic_event_t& event);
    // The display's rectangle now, the crop clipped to it; after a RandR change.
    void followDisplay();
    void readCursor();
    [[noreturn]] void lost() const;
    // Grabs `rows` of the picture into the memory (all of them when nullopt).
    bool grabInto(FrameMemory& memory, const std::optional<std::vector<RowSpan>>& rows);
    // The rows the damage subtracted for this grab covers, and the pointer's old and new rows.
    PictureChange changeSinceLastPicture(const std::vector<RowSpan>& damaged);
    std::optional<RowSpan> cursorRows() const;

    XConnection connection_;
    bool isWindow_;
    std::optional<Rect> sourceRect_;
    bool showsCursor_;
    bool hasShm_ = false;
    bool hasXfixes_ = false;
    bool hasComposite_ = false;
    uint8_t damageEvent_ = 0;
    uint8_t randrEvent_ = 0;            // RandR's first event; 0 when not followed (a window)
    bool displayChanged_ = false;       // RandR told of a change followDisplay() has not read yet
    uint32_t displayNumber_ = 0;
    uint32_t damage_ = 0;
    xcb_window_t window_ = XCB_NONE;      // the top-level window captured
    xcb_drawable_t drawable_ = XCB_NONE;  // root, the window's pixmap, or the window itself
    xcb_pixmap_t windowPixmap_ = XCB_NONE;
    Region region_;
    int32_t rootX_ = 0;  // the region's top-left corner on the root
    int32_t rootY_ = 0;
    bool dirty_ = true;  // the first picture is always new
    uint32_t damagedRegion_ = XCB_NONE;  // receives the damage each grab subtracts
    uint64_t lastPicture_ = 0;          // the number of the last picture grabbed, 0: none to compare with
    bool wholePictureChanged_ = true;   // since the last picture, beyond what the damage tells
    std::optional<RowSpan> cursorRowsInLastPicture_;
    PictureHistory history_;  // of the pictures the pool's blocks may hold
    std::optional<XCursorImage> cursor_;
    std::optional<CursorPlacement> lastCursor_;  // as last seen
    std::shared_ptr<ShmLink> shmLink_;
    std::shared_ptr<FrameMemoryPool> pool_;
};

} // namespace platform::linux_backend
