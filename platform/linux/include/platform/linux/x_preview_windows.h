#pragma once
// The preview window on X11 (XCB): each window has a connection of its own to
// $DISPLAY, served on the main queue.
//
// - Borderless (_MOTIF_WM_HINTS without decorations), above normal windows
//   (_NET_WM_STATE_ABOVE), on every desktop (_NET_WM_DESKTOP 0xFFFFFFFF and
//   _NET_WM_STATE_STICKY), out of the task bar and pager.
// - Shaped with the Shape extension (pixels whose centre lies inside the rounded
//   rectangle or circle); with a compositing manager running, an ARGB window whose
//   edge pixels are partly transparent and whose outside is clear.
// - Dragged anywhere in it: through the window manager (_NET_WM_MOVERESIZE) when it
//   offers that, otherwise the window follows the pointer itself.
// - Sizes are whole pixels: a half pixel rounds up (200 × 112.5 gives 200 × 113).
// - Frames of the attached session (BGRA) are scaled with libyuv, whole with clear
//   bars or cropped to fill, and drawn over MIT-SHM (plain image requests where
//   the server has no shared memory with us); the newest frame is drawn, never a queue.

#include "platform/preview_window.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform::linux_backend {

// Windows made with the capture sessions of `sessions` (whose video data outputs they add
// to the sessions attached to them).
std::shared_ptr<PreviewWindowService> makeXPreviewWindows(std::shared_ptr<CaptureSessionService> sessions);

// The frame drawing alone, for measuring it: scales a BGRA picture into a BGRA
// target of the window's size (bars or crop by the gravity) and applies the coverage
// mask when one is given (premultiplied alpha; empty mask: opaque).
void drawPreviewFrame(const uint8_t* source, size_t sourceStride, int sourceWidth, int sourceHeight, uint8_t* target,
                      int width, int height, VideoGravity gravity, const std::vector<uint8_t>& coverage);

// Coverage of each pixel (0 to 255) of a window of this size and style, row by row.
std::vector<uint8_t> previewCoverage(int width, int height, const PreviewWindowStyle& style);

} // namespace platform::linux_backend
