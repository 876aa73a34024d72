#include "accessibility/x_pointer_windows.h"

#include <cstdlib>
#include <cstring>

namespace platform::linux_backend {
namespace {

template <class Reply>
using Owned = std::unique_ptr<Reply, decltype(&std::free)>;

template <class Reply>
Owned<Reply> own(Reply* reply) {
    return Owned<Reply>(reply, &std::free);
}

std::optional<uint32_t> processIDOf(xcb_connection_t* connection, xcb_atom_t pidAtom, xcb_window_t window) {
    if (pidAtom == XCB_ATOM_NONE) return std::nullopt;
    auto reply = own(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) return std::nullopt;
    uint32_t pid = 0;
    std::memcpy(&pid, xcb_get_property_value(reply.get()), sizeof pid);
    return pid;
}

// The process of a top-level window: its own _NET_WM_PID, else (a window manager's
// frame) that of one of its children, the client.
std::optional<uint32_t> processOfTopLevel(xcb_connection_t* connection, xcb_atom_t pidAtom, xcb_window_t window) {
    if (auto pid = processIDOf(connection, pidAtom, window)) return pid;
    auto inner = own(xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
    if (!inner) return std::nullopt;
    const xcb_window_t* clients = xcb_query_tree_children(inner.get());
    int clientCount = xcb_query_tree_children_length(inner.get());
    for (int c = 0; c < clientCount; ++c) {
        if (auto pid = processIDOf(connection, pidAtom, clients[c])) return pid;
    }
    return std::nullopt;
}

} // namespace

XDisplayLink::Link::~Link() {
    if (connection) xcb_disconnect(connection);
}

std::shared_ptr<XDisplayLink::Link> XDisplayLink::link() {
    std::lock_guard lock(mutex_);
    if (link_ && !xcb_connection_has_error(link_->connection)) return link_;
    link_.reset();
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return nullptr;
    auto fresh = std::make_shared<Link>();
    int screenNumber = 0;
    fresh->connection = xcb_connect(display, &screenNumber);
    if (xcb_connection_has_error(fresh->connection)) return nullptr;
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(fresh->connection));
    for (int i = 0; i < screenNumber && roots.rem; ++i) xcb_screen_next(&roots);
    if (!roots.rem) return nullptr;
    fresh->root = roots.data->root;
    const char* name = "_NET_WM_PID";
    auto atom = own(xcb_intern_atom_reply(
        fresh->connection, xcb_intern_atom(fresh->connection, 1, static_cast<uint16_t>(std::strlen(name)), name),
        nullptr));
    fresh->pidAtom = atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
    link_ = fresh;
    return link_;
}

std::optional<Point> XDisplayLink::pointer() {
    auto current = link();
    if (!current) return std::nullopt;
    auto reply = own(xcb_query_pointer_reply(current->connection, xcb_query_pointer(current->connection, current->root),
                                             nullptr));
    if (!reply) return std::nullopt;
    {
        std::lock_guard lock(mutex_);
        lastPointer_ = PointerReading{reply->root_x, reply->root_y, reply->child, std::chrono::steady_clock::now()};
    }
    return Point{static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

std::optional<xcb_window_t> XDisplayLink::childUnderPointerAt(int x, int y) {
    std::lock_guard lock(mutex_);
    if (!lastPointer_ || lastPointer_->x != x || lastPointer_->y != y ||
        std::chrono::steady_clock::now() - lastPointer_->readAt > kPointerReadingLifetime) {
        return std::nullopt;
    }
    return lastPointer_->child;
}


std::optional<std::vector<XTopLevel>> XDisplayLink::topLevelsAt(int x, int y) {
    auto current = link();
    if (!current) return std::nullopt;
    bool nothingThere = false;
    if (auto topmost = topmostWithProcess(*current, x, y, nothingThere)) return std::vector<XTopLevel>{*topmost};
    if (xcb_connection_has_error(current->connection)) return std::nullopt;
    if (nothingThere) return std::vector<XTopLevel>{};
    return wholeStackAt(*current, x, y);
}

std::optional<XTopLevel> XDisplayLink::topmostWithProcess(const Link& current, int x, int y, bool& nothingThere) {
    xcb_connection_t* connection = current.connection;
    // The pointer's reading names the same window when the point is where it was
    // read just now, which saves a round trip on every query at the pointer.
    xcb_window_t child = XCB_WINDOW_NONE;
    if (auto underPointer = childUnderPointerAt(x, y)) {
        child = *underPointer;
    } else {
        auto translated = own(xcb_translate_coordinates_reply(
            connection,
            xcb_translate_coordinates(connection, current.root, current.root, static_cast<int16_t>(x),
                                      static_cast<int16_t>(y)),
            nullptr));
        if (!translated) return std::nullopt;
        child = translated->child;
    }
    if (child == XCB_WINDOW_NONE) {
        nothingThere = true;
        return std::nullopt;
    }
    auto geometryCookie = xcb_get_geometry(connection, child);
    auto attributesCookie = xcb_get_window_attributes(connection, child);
    auto processID = processOfTopLevel(connection, current.pidAtom, child);
    auto geometry = own(xcb_get_geometry_reply(connection, geometryCookie, nullptr));
    auto attributes = own(xcb_get_window_attributes_reply(connection, attributesCookie, nullptr));
    if (!processID || !geometry || !attributes || attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
        return std::nullopt;
    }
    int width = geometry->width + 2 * geometry->border_width;
    int height = geometry->height + 2 * geometry->border_width;
    return XTopLevel{Rect{{double(geometry->x), double(geometry->y)}, {double(width), double(height)}}, processID,
                     child};
}

std::optional<std::vector<XTopLevel>> XDisplayLink::wholeStackAt(const Link& current, int x, int y) {
    xcb_connection_t* connection = current.connection;
    auto tree = own(xcb_query_tree_reply(connection, xcb_query_tree(connection, current.root), nullptr));
    if (!tree) return std::nullopt;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    int count = xcb_query_tree_children_length(tree.get());

    // Every request first, then every reply: one round trip for the whole stack.
    std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
    std::vector<xcb_get_geometry_cookie_t> geometryCookies;
    attributeCookies.reserve(static_cast<size_t>(count));
    geometryCookies.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        attributeCookies.push_back(xcb_get_window_attributes(connection, children[i]));
        geometryCookies.push_back(xcb_get_geometry(connection, children[i]));
    }
    std::vector<XTopLevel> found;
    // The children come bottom first; walk them top first.
    std::vector<xcb_window_t> holding;
    std::vector<Rect> frames;
    for (int i = 0; i < count; ++i) {
        auto attributes = own(xcb_get_window_attributes_reply(connection, attributeCookies[static_cast<size_t>(i)], nullptr));
        auto geometry = own(xcb_get_geometry_reply(connection, geometryCookies[static_cast<size_t>(i)], nullptr));
        if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
            attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
            continue;
        }
        int width = geometry->width + 2 * geometry->border_width;
        int height = geometry->height + 2 * geometry->border_width;
        if (x < geometry->x || x >= geometry->x + width || y < geometry->y || y >= geometry->y + height) continue;
        holding.push_back(children[i]);
        frames.push_back(Rect{{double(geometry->x), double(geometry->y)}, {double(width), double(height)}});
    }
    for (size_t i = holding.size(); i-- > 0;) {
        XTopLevel window{frames[i], processOfTopLevel(connection, current.pidAtom, holding[i]), holding[i]};
        found.push_back(window);
        if (window.processID) break;
    }
    if (xcb_connection_has_error(connection)) return std::nullopt;
    return found;
}

} // namespace platform::linux_backend
