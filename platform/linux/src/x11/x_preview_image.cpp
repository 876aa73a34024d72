#include "x11/x_preview_image.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>

namespace platform::linux_backend {

XPreviewImage::XPreviewImage(const XConnection& connection, int width, int height, uint8_t depth)
    : connection_(connection), width_(width), height_(height), depth_(depth) {
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
                    shared_ = static_cast<uint8_t*>(address);
                    segment_ = segment;
                } else {
                    shmdt(address);
                }
            }
            // Removed once both sides have detached.
            shmctl(id, IPC_RMID, nullptr);
        }
    }
    if (!shared_) fallback_.assign(size, 0);
    else std::memset(shared_, 0, size);
}

XPreviewImage::~XPreviewImage() {
    if (!shared_) return;
    auto* c = connection_.get();
    xcb_shm_detach(c, segment_);
    // The server has let go of the segment once it answered a request sent after the detach.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    shmdt(shared_);
}

void XPreviewImage::put(xcb_window_t window, xcb_gcontext_t gc) {
    auto* c = connection_.get();
    if (shared_) {
        xcb_shm_put_image(c, window, gc, uint16_t(width_), uint16_t(height_), 0, 0, uint16_t(width_), uint16_t(height_),
                          0, 0, depth_, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, segment_, 0);
    } else {
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, uint16_t(width_), uint16_t(height_), 0, 0, 0, depth_,
                      uint32_t(fallback_.size()), fallback_.data());
    }
    xcb_flush(c);
}

} // namespace platform::linux_backend
