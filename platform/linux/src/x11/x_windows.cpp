#include "x11/x_windows.h"

#include "common/utf8_text.h"

#include "platform/error.h"

#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <fstream>

namespace platform::linux_backend {
namespace {

constexpr uint32_t kMaximumPropertyLongs = 4096;

class Ewmh {
public:
    explicit Ewmh(const XConnection& connection) {
        xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(connection.get(), &atoms_);
        ready_ = xcb_ewmh_init_atoms_replies(&atoms_, cookies, nullptr) != 0;
    }
    ~Ewmh() {
        if (ready_) xcb_ewmh_connection_wipe(&atoms_);
    }
    Ewmh(const Ewmh&) = delete;
    Ewmh& operator=(const Ewmh&) = delete;

    bool ready() const { return ready_; }
    xcb_ewmh_connection_t* get() { return &atoms_; }
    const xcb_ewmh_connection_t& atoms() const { return atoms_; }

private:
    xcb_ewmh_connection_t atoms_{};
    bool ready_ = false;
};

struct Property {
    xcb_atom_t type = XCB_ATOM_NONE;
    uint8_t format = 0;
    std::string bytes;

    std::vector<uint32_t> longs() const {
        std::vector<uint32_t> values(bytes.size() / 4);
        std::copy_n(bytes.data(), values.size() * 4, reinterpret_cast<char*>(values.data()));
        return values;
    }
};

std::optional<Property> takeProperty(xcb_connection_t* connection, xcb_get_property_cookie_t cookie) {
    auto reply = takeReply(xcb_get_property_reply(connection, cookie, nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE) return std::nullopt;
    const auto* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
    auto length = static_cast<size_t>(xcb_get_property_value_length(reply.get()));
    return Property{reply->type, reply->format, std::string(value, length)};
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t atom) {
    return xcb_get_property(connection, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaximumPropertyLongs);
}

bool windowManagerRuns(const XConnection& connection, Ewmh& ewmh) {
    xcb_window_t check = XCB_NONE;
    if (!xcb_ewmh_get_supporting_wm_check_reply(
            ewmh.get(), xcb_ewmh_get_supporting_wm_check(ewmh.get(), connection.root()), &check, nullptr)) {
        return false;
    }
    // A stale property of a window manager that has gone names a window that no longer points to itself.
    xcb_window_t self = XCB_NONE;
    return xcb_ewmh_get_supporting_wm_check_reply(ewmh.get(), xcb_ewmh_get_supporting_wm_check(ewmh.get(), check),
                                                  &self, nullptr) &&
           self == check;
}

std::vector<xcb_window_t> managedClientsFrontToBack(Ewmh& ewmh) {
    xcb_ewmh_get_windows_reply_t list{};
    int screen = 0;
    bool found = xcb_ewmh_get_client_list_stacking_reply(
                     ewmh.get(), xcb_ewmh_get_client_list_stacking(ewmh.get(), screen), &list, nullptr) ||
                 xcb_ewmh_get_client_list_reply(ewmh.get(), xcb_ewmh_get_client_list(ewmh.get(), screen), &list,
                                                nullptr);
    if (!found) return {};
    std::vector<xcb_window_t> windows(list.windows, list.windows + list.windows_len);
    xcb_ewmh_get_windows_reply_wipe(&list);
    std::reverse(windows.begin(), windows.end());  // the lists run bottom to top
    return windows;
}

std::vector<xcb_window_t> rootChildrenFrontToBack(const XConnection& connection) {
    auto tree = takeReply(xcb_query_tree_reply(connection.get(), xcb_query_tree(connection.get(), connection.root()), nullptr));
    if (!tree) return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    std::vector<xcb_window_t> windows(children, children + xcb_query_tree_children_length(tree.get()));
    std::reverse(windows.begin(), windows.end());  // the tree runs bottom to top
    return windows;
}

// Everything asked about one window, sent before any answer is awaited.
struct WindowQuery {
    xcb_window_t window;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t position;
    xcb_get_property_cookie_t utf8Name;
    xcb_get_property_cookie_t legacyName;
    xcb_get_property_cookie_t windowClass;
    xcb_get_property_cookie_t processID;
    xcb_get_property_cookie_t state;
    xcb_get_property_cookie_t windowType;
    xcb_get_property_cookie_t frameExtents;
};

WindowQuery ask(const XConnection& connection, const Ewmh& ewmh, xcb_window_t window) {
    xcb_connection_t* c = connection.get();
    const auto& atoms = ewmh.atoms();
    return {window,
            xcb_get_window_attributes(c, window),
            xcb_get_geometry(c, window),
            xcb_translate_coordinates(c, window, connection.root(), 0, 0),
            askProperty(c, window, atoms._NET_WM_NAME),
            askProperty(c, window, XCB_ATOM_WM_NAME),
            askProperty(c, window, XCB_ATOM_WM_CLASS),
            askProperty(c, window, atoms._NET_WM_PID),
            askProperty(c, window, atoms._NET_WM_STATE),
            askProperty(c, window, atoms._NET_WM_WINDOW_TYPE),
            askProperty(c, window, atoms._NET_FRAME_EXTENTS)};
}

// _NET_WM_NAME (UTF-8) first, then the legacy WM_NAME (ISO 8859-1 text); absent when neither is set.
std::optional<std::string> title(const std::optional<Property>& utf8Name, const std::optional<Property>& legacyName,
                                 xcb_atom_t utf8StringType) {
    if (utf8Name && utf8Name->format == 8 && utf8Name->type == utf8StringType) return validUtf8(utf8Name->bytes);
    if (!legacyName || legacyName->format != 8) return std::nullopt;
    if (legacyName->type == utf8StringType) return validUtf8(legacyName->bytes);
    return latin1ToUtf8(legacyName->bytes);
}

std::string processName(int32_t processID) {
    std::ifstream comm("/proc/" + std::to_string(processID) + "/comm");
    std::string name;
    std::getline(comm, name);
    return validUtf8(name);
}

// WM_CLASS holds the instance name and the class name, each NUL-terminated. The
// class names the application; the instance is the closest thing to a bundle identifier.
std::optional<RunningApplication> owningApplication(const std::optional<Property>& windowClass,
                                                    const std::optional<Property>& processIDProperty) {
    int32_t processID = 0;
    if (processIDProperty && processIDProperty->format == 32) {
        auto values = processIDProperty->longs();
        if (!values.empty()) processID = static_cast<int32_t>(values[0]);
    }
    if (windowClass && windowClass->format == 8) {
        const std::string& bytes = windowClass->bytes;
        size_t end = bytes.find('\0');
        std::string instance = bytes.substr(0, end);
        std::string className = end == std::string::npos ? std::string() : bytes.substr(end + 1);
        if (auto classEnd = className.find('\0'); classEnd != std::string::npos) className.resize(classEnd);
        return RunningApplication{latin1ToUtf8(className), latin1ToUtf8(instance), processID};
    }
    if (processID > 0) return RunningApplication{processName(processID), "", processID};
    return std::nullopt;
}

bool containsAtom(const std::optional<Property>& property, xcb_atom_t atom) {
    if (!property || property->format != 32) return false;
    auto atoms = property->longs();
    return std::find(atoms.begin(), atoms.end(), atom) != atoms.end();
}

struct Stacking {
    bool isDesktop = false;
    int64_t layer = kNormalWindowLayer;
};

Stacking stacking(const std::optional<Property>& state, const std::optional<Property>& windowType,
                  const xcb_ewmh_connection_t& atoms) {
    if (containsAtom(windowType, atoms._NET_WM_WINDOW_TYPE_DESKTOP)) return {true, kDesktopWindowLayer};
    if (containsAtom(windowType, atoms._NET_WM_WINDOW_TYPE_DOCK)) return {false, kDockWindowLayer};
    if (containsAtom(state, atoms._NET_WM_STATE_ABOVE)) return {false, kFloatingWindowLayer};
    if (containsAtom(state, atoms._NET_WM_STATE_BELOW)) return {false, kBelowWindowLayer};
    return {};
}

// The client's rectangle in root coordinates, grown by the decorations the window manager draws around it.
Rect frame(const xcb_get_geometry_reply_t& geometry, const xcb_translate_coordinates_reply_t* position,
           const std::optional<Property>& frameExtents) {
    double x = position ? position->dst_x : geometry.x;
    double y = position ? position->dst_y : geometry.y;
    double width = geometry.width;
    double height = geometry.height;
    if (frameExtents && frameExtents->format == 32) {
        auto extents = frameExtents->longs();  // left, right, top, bottom
        if (extents.size() >= 4) {
            x -= extents[0];
            y -= extents[2];
            width += extents[0] + extents[1];
            height += extents[2] + extents[3];
        }
    }
    return {{x, y}, {width, height}};
}

std::optional<Window> collect(const XConnection& connection, const Ewmh& ewmh, const WindowQuery& query,
                              bool managed, xcb_window_t activeWindow, const ShareableContentOptions& options) {
    xcb_connection_t* c = connection.get();
    auto attributes = takeReply(xcb_get_window_attributes_reply(c, query.attributes, nullptr));
    auto geometry = takeReply(xcb_get_geometry_reply(c, query.geometry, nullptr));
    auto position = takeReply(xcb_translate_coordinates_reply(c, query.position, nullptr));
    auto utf8Name = takeProperty(c, query.utf8Name);
    auto legacyName = takeProperty(c, query.legacyName);
    auto windowClass = takeProperty(c, query.windowClass);
    auto processID = takeProperty(c, query.processID);
    auto state = takeProperty(c, query.state);
    auto windowType = takeProperty(c, query.windowType);
    auto frameExtents = takeProperty(c, query.frameExtents);
    // A window destroyed while the list was read is simply gone.
    if (!attributes || !geometry) return std::nullopt;

    bool mapped = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    if (!managed && (!mapped || attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY)) return std::nullopt;
    const auto& atoms = ewmh.atoms();
    bool isOnScreen = mapped && !containsAtom(state, atoms._NET_WM_STATE_HIDDEN);
    Stacking placement = stacking(state, windowType, atoms);
    if (options.onScreenWindowsOnly && !isOnScreen) return std::nullopt;
    if (options.excludingDesktopWindows && placement.isDesktop) return std::nullopt;

    Window window;
    window.windowID = query.window;
    window.title = title(utf8Name, legacyName, atoms.UTF8_STRING);
    window.owningApplication = owningApplication(windowClass, processID);
    window.isOnScreen = isOnScreen;
    window.isActive = activeWindow != XCB_NONE && activeWindow == query.window;
    window.windowLayer = placement.layer;
    window.frame = frame(*geometry, position.get(), frameExtents);
    return window;
}

xcb_window_t activeWindow(const XConnection& connection, Ewmh& ewmh, bool managed) {
    if (managed) {
        xcb_window_t active = XCB_NONE;
        if (xcb_ewmh_get_active_window_reply(ewmh.get(), xcb_ewmh_get_active_window(ewmh.get(), 0), &active, nullptr)) {
            return active;
        }
        return XCB_NONE;
    }
    // Without a window manager the window with the input focus is the active one.
    auto focus = takeReply(xcb_get_input_focus_reply(connection.get(), xcb_get_input_focus(connection.get()), nullptr));
    return focus ? focus->focus : XCB_NONE;
}

} // namespace

std::vector<Window> listWindows(const XConnection& connection, const ShareableContentOptions& options) {
    Ewmh ewmh(connection);
    if (!ewmh.ready()) {
        connection.checkAlive(kStreamErrorNoWindowList);
        throw PlatformError(kStreamErrorDomain, kStreamErrorNoWindowList,
                            "The window list cannot be read: the X server did not answer.");
    }
    bool managed = windowManagerRuns(connection, ewmh);
    auto candidates = managed ? managedClientsFrontToBack(ewmh) : rootChildrenFrontToBack(connection);
    xcb_window_t active = activeWindow(connection, ewmh, managed);

    std::vector<WindowQuery> queries;
    queries.reserve(candidates.size());
    for (xcb_window_t window : candidates) queries.push_back(ask(connection, ewmh, window));
    std::vector<Window> windows;
    for (const auto& query : queries) {
        if (auto window = collect(connection, ewmh, query, managed, active, options)) windows.push_back(std::move(*window));
    }
    connection.checkAlive(kStreamErrorNoWindowList);
    return windows;
}

} // namespace platform::linux_backend
