#pragma once
// The picture of a preview window in this process's memory, drawn into and then
// put on the window.

#include "x11/x_connection.h"

#include <xcb/shm.h>

#include <cstdint>
#include <vector>

namespace platform::linux_backend {

// A MIT-SHM segment the server reads in place, or plain memory sent with each
// image request where the server shares no memory with us. Starts black (or clear).
class XPreviewImage {
public:
    XPreviewImage(const XConnection& connection, int width, int height, uint8_t depth);
    ~XPreviewImage();
    XPreviewImage(const XPreviewImage&) = delete;
    XPreviewImage& operator=(const XPreviewImage&) = delete;

    // BGRA pixels, rows of width * 4 bytes.
    uint8_t* pixels() { return shared_ ? shared_ : fallback_.data(); }

    // Puts the whole picture on the window and flushes.
    void put(xcb_window_t window, xcb_gcontext_t gc);

private:
    const XConnection& connection_;
    const int width_, height_;
    const uint8_t depth_;
    xcb_shm_seg_t segment_ = 0;
    uint8_t* shared_ = nullptr;      // the attached segment, or null
    std::vector<uint8_t> fallback_;  // the picture without shared memory
};

} // namespace platform::linux_backend
