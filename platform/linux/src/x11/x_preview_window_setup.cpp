#include "x11/x_preview_window_setup.h"

#include <xcb/shape.h>
#include <xcb/xcb_icccm.h>

#include <unistd.h>

#include <string>

namespace platform::linux_backend {
namespace {

int screenNumber(const XConnection& connection) {
    int index = 0;
    for (auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection.get())); roots.rem;
         xcb_screen_next(&roots), ++index) {
        if (roots.data->root == connection.root()) return index;
    }
    return 0;
}

} // namespace

PreviewVisual choosePreviewVisual(const XConnection& connection) {
    xcb_screen_t* screen = connection.screen();
    const PreviewVisual rootVisual{screen->root_visual, screen->root_depth};
    // A compositing manager owns the _NET_WM_CM_S<screen> selection; only then is an ARGB window blended.
    xcb_atom_t selection = internAtom(connection, "_NET_WM_CM_S" + std::to_string(screenNumber(connection)));
    auto owner = takeReply(xcb_get_selection_owner_reply(connection.get(),
                                                         xcb_get_selection_owner(connection.get(), selection), nullptr));
    if (!owner || owner->owner == XCB_NONE) return rootVisual;
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
        if (depths.data->depth != 32) continue;
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals)) {
            if (visuals.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) return {visuals.data->visual_id, 32};
        }
    }
    return rootVisual;
}

void setPreviewWindowHints(const XConnection& connection, xcb_window_t window) {
    auto set = [&](const char* name, xcb_atom_t type, uint8_t format, uint32_t count, const void* data) {
        xcb_change_property(connection.get(), XCB_PROP_MODE_REPLACE, window, internAtom(connection, name), type, format,
                            count, data);
    };
    const std::string title = "Camera preview";
    set("WM_NAME", XCB_ATOM_STRING, 8, uint32_t(title.size()), title.data());
    set("_NET_WM_NAME", internAtom(connection, "UTF8_STRING"), 8, uint32_t(title.size()), title.data());
    const char windowClass[] = "tavrik\0Tavrik";
    set("WM_CLASS", XCB_ATOM_STRING, 8, sizeof windowClass, windowClass);
    // Motif hints: only the decorations field counts (flag 2), and it asks for none.
    const uint32_t motif[] = {2, 0, 0, 0, 0};
    set("_MOTIF_WM_HINTS", internAtom(connection, "_MOTIF_WM_HINTS"), 32, 5, motif);
    const xcb_atom_t states[] = {internAtom(connection, "_NET_WM_STATE_ABOVE"),
                                 internAtom(connection, "_NET_WM_STATE_STICKY"),
                                 internAtom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                 internAtom(connection, "_NET_WM_STATE_SKIP_PAGER")};
    set("_NET_WM_STATE", XCB_ATOM_ATOM, 32, 4, states);
    const uint32_t allDesktops = 0xFFFFFFFF;
    set("_NET_WM_DESKTOP", XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
    const uint32_t pid = uint32_t(getpid());
    set("_NET_WM_PID", XCB_ATOM_CARDINAL, 32, 1, &pid);
}

void setPreviewNormalHints(const XConnection& connection, xcb_window_t window, std::pair<int32_t, int32_t> origin,
                           int width, int height) {
    xcb_size_hints_t hints{};
    xcb_icccm_size_hints_set_position(&hints, 1, origin.first, origin.second);
    xcb_icccm_size_hints_set_min_size(&hints, width, height);
    xcb_icccm_size_hints_set_max_size(&hints, width, height);
    xcb_icccm_set_wm_normal_hints(connection.get(), window, &hints);
}

bool shapePreviewWindow(const XConnection& connection, xcb_window_t window, const std::vector<uint8_t>& coverage,
                        int width, int height, uint8_t threshold) {
    const auto* shape = xcb_get_extension_data(connection.get(), &xcb_shape_id);
    if (!shape || !shape->present) return false;
    // One rectangle per run of rows with the same inside span.
    std::vector<xcb_rectangle_t> rows;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = coverage.data() + size_t(y) * width;
        int left = 0, right = width;
        while (left < width && row[left] < threshold) ++left;
        while (right > left && row[right - 1] < threshold) --right;
        if (left == right) continue;
        if (!rows.empty() && rows.back().x == left && rows.back().width == right - left &&
            rows.back().y + rows.back().height == y) {
            ++rows.back().height;
        } else {
            rows.push_back({int16_t(left), int16_t(y), uint16_t(right - left), 1});
        }
    }
    xcb_shape_rectangles(connection.get(), XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_YX_BANDED, window,
                         0, 0, uint32_t(rows.size()), rows.data());
    return true;
}

} // namespace platform::linux_backend
