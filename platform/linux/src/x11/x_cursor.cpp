#include "x11/x_cursor.h"

#include <algorithm>

namespace platform::linux_backend {

xcb_xfixes_get_cursor_image_cookie_t XCursorImage::ask(xcb_connection_t* connection) {
    return xcb_xfixes_get_cursor_image(connection);
}

std::optional<XCursorImage> XCursorImage::take(xcb_connection_t* connection,
                                               xcb_xfixes_get_cursor_image_cookie_t cookie) {
    auto reply = takeReply(xcb_xfixes_get_cursor_image_reply(connection, cookie, nullptr));
    if (!reply || reply->width == 0 || reply->height == 0) return std::nullopt;
    return XCursorImage(std::move(reply));
}

void XCursorImage::drawOver(uint8_t* bgra, size_t bytesPerRow, int32_t pictureWidth, int32_t pictureHeight,
                            int32_t originX, int32_t originY) const {
    blendPremultiplied(xcb_xfixes_get_cursor_image_cursor_image(reply_.get()), width(), height(), left() - originX,
                       top() - originY, bgra, bytesPerRow, pictureWidth, pictureHeight);
}

void blendPremultiplied(const uint32_t* cursor, int32_t cursorWidth, int32_t cursorHeight, int32_t left, int32_t top,
                        uint8_t* bgra, size_t bytesPerRow, int32_t pictureWidth, int32_t pictureHeight) {
    const int32_t firstRow = std::max(0, -top);
    const int32_t endRow = std::min(cursorHeight, pictureHeight - top);
    const int32_t firstColumn = std::max(0, -left);
    const int32_t endColumn = std::min(cursorWidth, pictureWidth - left);
    for (int32_t row = firstRow; row < endRow; ++row) {
        const uint32_t* source = cursor + size_t(row) * size_t(cursorWidth);
        uint8_t* line = bgra + size_t(top + row) * bytesPerRow;
        for (int32_t column = firstColumn; column < endColumn; ++column) {
            const uint32_t pixel = source[column];
            const uint32_t alpha = pixel >> 24;
            if (alpha == 0) continue;
            uint8_t* target = line + size_t(left + column) * 4;
            const uint32_t keep = 255 - alpha;
            target[0] = uint8_t(std::min<uint32_t>(255, (pixel & 0xff) + (target[0] * keep + 127) / 255));
            target[1] = uint8_t(std::min<uint32_t>(255, ((pixel >> 8) & 0xff) + (target[1] * keep + 127) / 255));
            target[2] = uint8_t(std::min<uint32_t>(255, ((pixel >> 16) & 0xff) + (target[2] * keep + 127) / 255));
        }
    }
}

} // namespace platform::linux_backend
