#pragma once
// The pointer as XFixes shows it: its image (premultiplied ARGB) and where it
// is, drawn over grabbed BGRA pictures.

#include "x11/x_connection.h"

#include <xcb/xfixes.h>

#include <cstdint>
#include <optional>

namespace platform::linux_backend {

class XCursorImage {
public:
    // Asks the server; read the answer with take(). Both halves are split so the
    // question can travel with the grab of the same frame.
    static xcb_xfixes_get_cursor_image_cookie_t ask(xcb_connection_t* connection);
    // nullopt when the server gave no cursor (none shown, or the connection broke).
    static std::optional<XCursorImage> take(xcb_connection_t* connection, xcb_xfixes_get_cursor_image_cookie_t cookie);

    // Top-left corner of the image in root coordinates.
    int32_t left() const { return int32_t(reply_->x) - reply_->xhot; }
    int32_t top() const { return int32_t(reply_->y) - reply_->yhot; }
    int32_t width() const { return reply_->width; }
    int32_t height() const { return reply_->height; }
    uint32_t serial() const { return reply_->cursor_serial; }

    // Draws the cursor over a BGRA picture whose top-left pixel is at (originX, originY) of the root.
    void drawOver(uint8_t* bgra, size_t bytesPerRow, int32_t pictureWidth, int32_t pictureHeight, int32_t originX,
                  int32_t originY) const;

private:
    explicit XCursorImage(XReply<xcb_xfixes_get_cursor_image_reply_t> reply) : reply_(std::move(reply)) {}
    XReply<xcb_xfixes_get_cursor_image_reply_t> reply_;
};

// Draws premultiplied ARGB pixels (one 32-bit value each) over BGRA pixels: the picture shows through where alpha is low.
void blendPremultiplied(const uint32_t* cursor, int32_t cursorWidth, int32_t cursorHeight, int32_t left, int32_t top,
                        uint8_t* bgra, size_t bytesPerRow, int32_t pictureWidth, int32_t pictureHeight);

} // namespace platform::linux_backend
