// The camera preview window on a private Xvfb, with and without a window manager
// (openbox), shown by the webcam preview from a scripted V4L2 camera that delivers
// a solid colour: its size and shape, its hints and states, its place against the
// work area, a drag, reuse and renewal, the camera's colour in it, and the ARGB
// window a compositing manager gets.

#include "capture_support.h"
#include "eventually.h"
#include "fake_v4l2_kernel.h"
#include "main_queue_thread.h"
#include "private_servers.h"
#include "x_test_client.h"

#include "Dovezode/PreviewSession.h"
#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/linux/linux_capture_devices.h"
#include "platform/linux/linux_capture_sessions.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/x_preview_windows.h"
#include "platform/platform.h"
#include "platform/queues.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

using test_support::Colour;
using test_support::FakeV4l2Kernel;
using test_support::eventually;

constexpr Colour kCameraColour{40, 160, 220};

template <class Reply>
std::unique_ptr<Reply, decltype(&free)> reply(Reply* value) {
    return {value, &free};
}

// The test's own view of the X server.
class Observer {
public:
    Observer() : connection_(xcb_connect(nullptr, nullptr)) {
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    }
    ~Observer() { xcb_disconnect(connection_); }

    xcb_connection_t* get() const { return connection_; }
    xcb_window_t root() const { return screen_->root; }

    xcb_atom_t atom(const std::string& name) {
        auto r = reply(xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, uint16_t(name.size()), name.c_str()),
                                             nullptr));
        return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    std::vector<uint32_t> property(xcb_window_t window, const std::string& name) {
        auto r = reply(xcb_get_property_reply(
            connection_, xcb_get_property(connection_, 0, window, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
        if (!r || r->format != 32) return {};
        const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
        return std::vector<uint32_t>(values, values + xcb_get_property_value_length(r.get()) / 4);
    }

    std::string text(xcb_window_t window, const std::string& name) {
        auto r = reply(xcb_get_property_reply(
            connection_, xcb_get_property(connection_, 0, window, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
        if (!r) return {};
        return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
                           size_t(xcb_get_property_value_length(r.get())));
    }

    // The mapped preview window anywhere in the tree (a window manager reparents it).
    xcb_window_t previewWindow() { return find(root()); }

    struct Geometry {
        int x = 0, y = 0, width = 0, height = 0, depth = 0;
    };
    Geometry geometry(xcb_window_t window) {
        auto g = reply(xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr));
        auto t = reply(xcb_translate_coordinates_reply(connection_, xcb_translate_coordinates(connection_, window, root(), 0, 0),
                                                       nullptr));
        if (!g || !t) return {};
        return {t->dst_x, t->dst_y, g->width, g->height, g->depth};
    }

    std::vector<xcb_rectangle_t> boundingShape(xcb_window_t window) {
        auto r = reply(xcb_shape_get_rectangles_reply(
            connection_, xcb_shape_get_rectangles(connection_, window, XCB_SHAPE_SK_BOUNDING), nullptr));
        if (!r) return {};
        auto* rectangles = xcb_shape_get_rectangles_rectangles(r.get());
        return std::vector<xcb_rectangle_t>(rectangles, rectangles + xcb_shape_get_rectangles_rectangles_length(r.get()));
    }

    // The window's own pixel (BGRA, alpha meaningful for a 32-bit window).
    std::optional<std::array<uint8_t, 4>> pixel(xcb_window_t window, int x, int y) {
        auto r = reply(xcb_get_image_reply(
            connection_, xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, int16_t(x), int16_t(y), 1, 1, ~0u),
            nullptr));
        if (!r || xcb_get_image_data_length(r.get()) < 4) return std::nullopt;
        std::array<uint8_t, 4> value;
        std::memcpy(value.data(), xcb_get_image_data(r.get()), 4);
        return value;
    }

    void fake(uint8_t type, uint8_t detail, int x = 0, int y = 0) {
        xcb_test_fake_input(connection_, type, detail, XCB_CURRENT_TIME, root(), int16_t(x), int16_t(y), 0);
        sync();
    }

    void sync() { free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

    // A panel along the bottom edge that reserves `height` pixels (a window manager shrinks its work area).
    xcb_window_t bottomPanel(uint32_t height) {
        xcb_window_t panel = xcb_generate_id(connection_);
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, panel, root(), 0, int16_t(1080 - height), 1920,
                          uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, 0, nullptr);
        xcb_atom_t dock = atom("_NET_WM_WINDOW_TYPE_DOCK");
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, panel, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1,
                            &dock);
        const uint32_t strut[12] = {0, 0, 0, height, 0, 0, 0, 0, 0, 0, 0, 1919};
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, panel, atom("_NET_WM_STRUT_PARTIAL"),
                            XCB_ATOM_CARDINAL, 32, 12, strut);
        const uint32_t simple[4] = {0, 0, 0, height};
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, panel, atom("_NET_WM_STRUT"), XCB_ATOM_CARDINAL, 32, 4,
                            simple);
        xcb_map_window(connection_, panel);
        sync();
        return panel;
    }

    // Claims the compositing-manager selection, as a compositor does.
    void actAsCompositor() {
        xcb_window_t owner = xcb_generate_id(connection_);
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, owner, root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_set_selection_owner(connection_, owner, atom("_NET_WM_CM_S0"), XCB_CURRENT_TIME);
        sync();
    }

private:
    xcb_window_t find(xcb_window_t parent) {
        auto tree = reply(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, parent), nullptr));
        if (!tree) return XCB_NONE;
        auto* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            auto attributes = reply(xcb_get_window_attributes_reply(
                connection_, xcb_get_window_attributes(connection_, children[i]), nullptr));
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                text(children[i], "_NET_WM_NAME") == "Camera preview") {
                return children[i];
            }
            if (auto found = find(children[i])) return found;
        }
        return XCB_NONE;
    }

    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
};

bool contains(const std::vector<xcb_rectangle_t>& rectangles, int x, int y) {
    for (const auto& r : rectangles) {
        if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) return true;
    }
    return false;
}

struct Setting {
    const char* name;
    bool windowManager;
};

class PreviewWindowOnX : public testing::TestWithParam<Setting> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.started());
        if (GetParam().windowManager) {
            ASSERT_TRUE(server_.startWindowManager());
        }
        mainQueue_ = std::make_unique<test_support::MainQueueThread>([] { WebcamPreviewWindow::hide(); });
        useCamera(1280, 720);
    }
    void TearDown() override {
        previews_.clear();
        mainQueue_.reset();
    }

    // The platform of Linux with one scripted camera of this size.
    void useCamera(uint32_t width, uint32_t height) {
        kernel_ = FakeV4l2Kernel::withCamera({{V4L2_PIX_FMT_YUYV, {{width, height}}}},
                                             {kCameraColour.red, kCameraColour.green, kCameraColour.blue});
        auto linux = platform::linux_backend::makeLinuxPlatform();
        linux->captureDevices = platform::linux_backend::makeLinuxCaptureDevices(kernel_);
        linux->captureSessions = platform::linux_backend::makeLinuxCaptureSessions(kernel_);
        linux->previewWindows = platform::linux_backend::makeXPreviewWindows(linux->captureSessions);
        platform::install(linux);
    }

    PreviewSession& preview(PreviewShape shape) {
        previews_.push_back(std::make_unique<PreviewSession>(platform::installed()));
        previews_.back()->startWebcamPreview(FakeV4l2Kernel::kCameraUniqueID, shape);
        return *previews_.back();
    }

    xcb_window_t waitForWindow() {
        xcb_window_t window = XCB_NONE;
        eventually([&] { return (window = x_.previewWindow()) != XCB_NONE; });
        return window;
    }

    bool waitForGeometry(xcb_window_t window, int x, int y, int width, int height) {
        return eventually([&] {
            auto g = x_.geometry(window);
            return g.x == x && g.y == y && g.width == width && g.height == height;
        });
    }

    test_support::PrivateXServer server_;
    std::unique_ptr<test_support::MainQueueThread> mainQueue_;  // where the window lives
    std::shared_ptr<FakeV4l2Kernel> kernel_;
    std::vector<std::unique_ptr<PreviewSession>> previews_;
    Observer x_;
};

TEST_P(PreviewWindowOnX, SizeShapeAndPlaceOfEachShape) {
    struct Case {
        PreviewShape shape;
        uint32_t cameraWidth, cameraHeight;
        int width, height;
        std::vector<std::pair<int, int>> outside;
    };
    const Case cases[] = {
        // 200 × 112.5: the half pixel rounds up.
        {PreviewShape::original, 1280, 720, 200, 113, {{0, 0}, {3, 3}, {199, 112}}},
        {PreviewShape::original, 640, 480, 200, 150, {{0, 0}, {3, 3}, {196, 146}}},
        {PreviewShape::square, 1280, 720, 200, 200, {{0, 0}, {5, 5}, {194, 194}}},
        {PreviewShape::rounded, 640, 480, 200, 200, {{0, 0}, {20, 20}, {199, 0}, {180, 180}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.shape.rawValue()) + " " + std::to_string(c.cameraWidth));
        useCamera(c.cameraWidth, c.cameraHeight);
        auto& session = preview(c.shape);
        xcb_window_t window = waitForWindow();
        ASSERT_NE(window, XCB_NONE);
        // Bottom-right corner 32 pixels in from the screen's edges (no panel: the whole screen).
        EXPECT_TRUE(waitForGeometry(window, 1920 - 32 - c.width, 1080 - 32 - c.height, c.width, c.height));
        auto shape = x_.boundingShape(window);
        for (auto [x, y] : c.outside) EXPECT_FALSE(contains(shape, x, y)) << x << "," << y;
        EXPECT_TRUE(contains(shape, c.width / 2, c.height / 2));
        EXPECT_TRUE(contains(shape, 0, c.height / 2));
        EXPECT_TRUE(contains(shape, c.width / 2, 0));
        session.stopWebcamPreview();
        EXPECT_TRUE(eventually([&] { return x_.previewWindow() == XCB_NONE; }));
    }
}

TEST_P(PreviewWindowOnX, HintsAndStatesForAFloatingWindowOnEveryDesktop) {
    preview(PreviewShape::rounded);
    xcb_window_t window = waitForWindow();
    ASSERT_NE(window, XCB_NONE);
    EXPECT_EQ(x_.property(window, "_MOTIF_WM_HINTS"), (std::vector<uint32_t>{2, 0, 0, 0, 0}));
    // A window manager takes the window over in steps: it manages it with its own
    // desktop and states first, then handles what the window asked for. Wait for that.
    EXPECT_TRUE(eventually([&] { return x_.property(window, "_NET_WM_DESKTOP") == std::vector<uint32_t>{0xFFFFFFFF}; }))
        << "on every desktop";
    // It rewrites the states and drops those it does not support (openbox keeps a
    // window on every desktop through _NET_WM_DESKTOP alone, without STICKY).
    auto supported = x_.property(x_.root(), "_NET_SUPPORTED");
    std::vector<const char*> kept;
    for (const char* state : {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR",
                              "_NET_WM_STATE_SKIP_PAGER"}) {
        bool dropped = GetParam().windowManager &&
                       std::find(supported.begin(), supported.end(), x_.atom(state)) == supported.end();
        if (!dropped) kept.push_back(state);
    }
    std::vector<uint32_t> states;
    eventually([&] {
        states = x_.property(window, "_NET_WM_STATE");
        return std::all_of(kept.begin(), kept.end(), [&](const char* state) {
            return std::find(states.begin(), states.end(), x_.atom(state)) != states.end();
        });
    });
    for (const char* state : kept) {
        EXPECT_NE(std::find(states.begin(), states.end(), x_.atom(state)), states.end()) << state;
    }
    if (GetParam().windowManager) {
        // The window manager took the window as one above the others.
        EXPECT_NE(std::find(states.begin(), states.end(), x_.atom("_NET_WM_STATE_ABOVE")), states.end());
    }
}

TEST_P(PreviewWindowOnX, PlacedAgainstTheWorkArea) {
    if (GetParam().windowManager) {
        // The window manager takes the panel's strut out of its work area.
        x_.bottomPanel(48);
        ASSERT_TRUE(eventually([&] {
            auto area = x_.property(x_.root(), "_NET_WORKAREA");
            return area.size() >= 4 && area[3] == 1080 - 48;
        }));
    } else {
        test_support::XTestClient client;
        client.setWorkArea(0, 0, 1920, 1080 - 48);
        client.sync();
    }
    preview(PreviewShape::square);
    xcb_window_t window = waitForWindow();
    EXPECT_TRUE(waitForGeometry(window, 1920 - 32 - 200, 1080 - 48 - 32 - 200, 200, 200));
}

TEST_P(PreviewWindowOnX, DragMovesItAndASecondShowKeepsItWhileHideThenShowRenewsIt) {
    preview(PreviewShape::original);
    xcb_window_t window = waitForWindow();
    const int startX = 1920 - 232, startY = 1080 - 32 - 113;
    ASSERT_TRUE(waitForGeometry(window, startX, startY, 200, 113));

    // Press in the middle, move the pointer 300 left and 200 up, release.
    const int grabX = startX + 100, grabY = startY + 50;
    x_.fake(XCB_MOTION_NOTIFY, 0, grabX, grabY);
    x_.fake(XCB_BUTTON_PRESS, 1);
    int step = 0;
    bool moved = eventually([&] {
        // Moves keep coming until the window follows: a window manager starts its move a little later.
        x_.fake(XCB_MOTION_NOTIFY, 0, grabX - 300 + (step++ % 2), grabY - 200);
        auto g = x_.geometry(window);
        return std::abs(g.x - (startX - 300)) <= 1 && g.y == startY - 200;
    });
    x_.fake(XCB_MOTION_NOTIFY, 0, grabX - 300, grabY - 200);
    x_.fake(XCB_BUTTON_RELEASE, 1);
    ASSERT_TRUE(moved);
    ASSERT_TRUE(waitForGeometry(window, startX - 300, startY - 200, 200, 113));

    // Another shape and camera while the window is up: same window, size, shape and place.
    useCamera(640, 480);
    auto& second = preview(PreviewShape::rounded);
    x_.sync();
    EXPECT_EQ(x_.previewWindow(), window);
    EXPECT_TRUE(waitForGeometry(window, startX - 300, startY - 200, 200, 113));
    EXPECT_FALSE(contains(x_.boundingShape(window), 0, 0));
    EXPECT_TRUE(contains(x_.boundingShape(window), 20, 2)) << "still the corners of radius 16, not a circle";

    // Hidden, then shown again: a fresh window with the new size and shape, back in the corner.
    second.stopWebcamPreview();
    ASSERT_TRUE(eventually([&] { return x_.previewWindow() == XCB_NONE; }));
    preview(PreviewShape::rounded);
    xcb_window_t fresh = waitForWindow();
    EXPECT_TRUE(waitForGeometry(fresh, 1920 - 232, 1080 - 232, 200, 200));
    EXPECT_FALSE(contains(x_.boundingShape(fresh), 20, 20));
}

TEST_P(PreviewWindowOnX, ShowsTheCamerasColour) {
    for (PreviewShape shape : {PreviewShape(PreviewShape::original), PreviewShape(PreviewShape::rounded)}) {
        auto& session = preview(shape);
        xcb_window_t window = waitForWindow();
        ASSERT_NE(window, XCB_NONE);
        auto g = x_.geometry(window);
        EXPECT_TRUE(eventually([&] {
            auto pixel = x_.pixel(window, g.width / 2, g.height / 2);
            return pixel && test_support::near({(*pixel)[2], (*pixel)[1], (*pixel)[0]}, kCameraColour, 10);
        })) << shape.rawValue();
        session.stopWebcamPreview();
        ASSERT_TRUE(eventually([&] { return x_.previewWindow() == XCB_NONE; }));
    }
}

TEST_P(PreviewWindowOnX, WithACompositorTheWindowHasAlphaAndAClearOutside) {
    x_.actAsCompositor();
    preview(PreviewShape::rounded);
    xcb_window_t window = waitForWindow();
    ASSERT_NE(window, XCB_NONE);
    // The client window itself: a window manager's frame around it may have another depth.
    EXPECT_TRUE(eventually([&] {
        auto centre = x_.pixel(window, 100, 100);
        return centre && (*centre)[3] == 255 && test_support::near({(*centre)[2], (*centre)[1], (*centre)[0]}, kCameraColour, 10);
    }));
    EXPECT_EQ(x_.geometry(window).depth, 32);
    // An edge pixel of the circle that the shape keeps is only partly covered.
    auto shape = x_.boundingShape(window);
    int firstInRow30 = 0;
    while (firstInRow30 < 100 && !contains(shape, firstInRow30, 30)) ++firstInRow30;
    auto pixel = x_.pixel(window, firstInRow30, 30);
    ASSERT_TRUE(pixel);
    EXPECT_LT((*pixel)[3], 255) << "a smooth edge";
}

INSTANTIATE_TEST_SUITE_P(Servers, PreviewWindowOnX,
                         testing::Values(Setting{"plainXvfb", false}, Setting{"withOpenbox", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
