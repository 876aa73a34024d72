#include "x_test_client.h"

#include <xcb/randr.h>
#include <xcb/xcbext.h>
#include <xcb/xcb_icccm.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/uio.h>
#include <unistd.h>

namespace test_support {

XTestClient::XTestClient() : connection_(xcb_connect(nullptr, nullptr)) {
    if (!xcb_connection_has_error(connection_)) screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
}

XTestClient::~XTestClient() { xcb_disconnect(connection_); }

bool XTestClient::connected() const { return screen_ != nullptr; }

xcb_atom_t XTestClient::atom(const std::string& name) {
    auto* reply = xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, uint16_t(name.size()), name.c_str()), nullptr);
    xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return atom;
}

void XTestClient::setProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, uint8_t format,
                              uint32_t count, const void* data) {
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window, property, type, format, count, data);
}

xcb_window_t XTestClient::createWindow(const NewWindow& wanted) {
    xcb_window_t window = xcb_generate_id(connection_);
    uint32_t values[] = {screen_->white_pixel};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root, wanted.x, wanted.y, wanted.width, wanted.height,
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_BACK_PIXEL, values);
    if (wanted.utf8Title) {
        setProperty(window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, uint32_t(wanted.utf8Title->size()),
                    wanted.utf8Title->data());
    }
    if (wanted.legacyTitle) {
        setProperty(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, uint32_t(wanted.legacyTitle->size()),
                    wanted.legacyTitle->data());
    }
    if (wanted.windowClass) {
        std::string value = wanted.windowClass->first + '\0' + wanted.windowClass->second + '\0';
        setProperty(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, uint32_t(value.size()), value.data());
    }
    if (wanted.withProcessID) {
        uint32_t pid = uint32_t(getpid());
        setProperty(window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
    }
    if (wanted.desktopType) {
        xcb_atom_t type = atom("_NET_WM_WINDOW_TYPE_DESKTOP");
        setProperty(window, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
    }
    if (wanted.above) {
        xcb_atom_t state = atom("_NET_WM_STATE_ABOVE");
        setProperty(window, atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1, &state);
    }
    if (wanted.startIconic) {
        xcb_icccm_wm_hints_t hints{};
        xcb_icccm_wm_hints_set_iconic(&hints);
        xcb_icccm_set_wm_hints(connection_, window, &hints);
    }
    if (wanted.map) xcb_map_window(connection_, window);
    sync();
    return window;
}

void XTestClient::setInputFocus(xcb_window_t window) {
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    sync();
}

void XTestClient::requestActivation(xcb_window_t window) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom("_NET_ACTIVE_WINDOW");
    message.data.data32[0] = 2;  // asked for by a pager: honoured at once
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection_, 0, screen_->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    sync();
}

uint32_t XTestClient::firstOutput() {
    auto* resources = xcb_randr_get_screen_resources_current_reply(
        connection_, xcb_randr_get_screen_resources_current(connection_, screen_->root), nullptr);
    uint32_t output = 0;
    if (resources && xcb_randr_get_screen_resources_current_outputs_length(resources) > 0) {
        output = xcb_randr_get_screen_resources_current_outputs(resources)[0];
    }
    free(resources);
    return output;
}

void XTestClient::setMonitor(const NewMonitor& wanted) {
    std::vector<uint8_t> buffer(sizeof(xcb_randr_monitor_info_t) + sizeof(xcb_randr_output_t));
    auto* info = reinterpret_cast<xcb_randr_monitor_info_t*>(buffer.data());
    info->name = atom(wanted.name);
    info->nOutput = wanted.withOutput ? 1 : 0;
    info->x = wanted.x;
    info->y = wanted.y;
    info->width = wanted.width;
    info->height = wanted.height;
    info->width_in_millimeters = wanted.width / 4;
    info->height_in_millimeters = wanted.height / 4;
    if (wanted.withOutput) xcb_randr_monitor_info_outputs(info)[0] = firstOutput();
    // Sent by hand: the library's own xcb_randr_set_monitor hands an uninitialised
    // padding part to the connection and trips its length check.
    xcb_randr_set_monitor_request_t request{};
    request.window = screen_->root;
    iovec parts[4];  // xcb_send_request uses the two entries before the ones it is given
    parts[2] = {&request, sizeof request};
    parts[3] = {buffer.data(), buffer.size() - (wanted.withOutput ? 0 : sizeof(xcb_randr_output_t))};
    xcb_protocol_request_t protocol{2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    xcb_send_request(connection_, XCB_REQUEST_CHECKED, parts + 2, &protocol);
    sync();
}

bool XTestClient::setScreenSize(uint16_t width, uint16_t height) {
    auto* resources = xcb_randr_get_screen_resources_current_reply(
        connection_, xcb_randr_get_screen_resources_current(connection_, screen_->root), nullptr);
    if (!resources || xcb_randr_get_screen_resources_current_outputs_length(resources) < 1 ||
        xcb_randr_get_screen_resources_current_crtcs_length(resources) < 1) {
        free(resources);
        return false;
    }
    const xcb_randr_output_t output = xcb_randr_get_screen_resources_current_outputs(resources)[0];
    const xcb_randr_crtc_t crtc = xcb_randr_get_screen_resources_current_crtcs(resources)[0];
    const xcb_timestamp_t configured = resources->config_timestamp;
    xcb_randr_mode_t mode = XCB_NONE;
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(resources);
    for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(resources); ++i) {
        if (modes[i].width == width && modes[i].height == height) mode = modes[i].id;
    }
    free(resources);
    if (mode == XCB_NONE) {
        const std::string name = std::to_string(width) + "x" + std::to_string(height);
        xcb_randr_mode_info_t info{};
        info.width = width;
        info.height = height;
        info.htotal = uint16_t(width + 100);
        info.vtotal = uint16_t(height + 30);
        info.dot_clock = uint32_t(info.htotal) * info.vtotal * 60;
        info.name_len = uint16_t(name.size());
        auto* created = xcb_randr_create_mode_reply(
            connection_, xcb_randr_create_mode(connection_, screen_->root, info, uint32_t(name.size()), name.c_str()),
            nullptr);
        if (!created) return false;
        mode = created->mode;
        free(created);
        xcb_randr_add_output_mode(connection_, output, mode);
    }
    auto* crtcInfo = xcb_randr_get_crtc_info_reply(connection_, xcb_randr_get_crtc_info(connection_, crtc, configured), nullptr);
    const bool growing = crtcInfo && (width > crtcInfo->width || height > crtcInfo->height);
    free(crtcInfo);
    auto resizeScreen = [&] {
        auto* error = xcb_request_check(connection_, xcb_randr_set_screen_size_checked(connection_, screen_->root, width,
                                                                                       height, width / 4, height / 4));
        const bool resized = error == nullptr;
        free(error);
        return resized;
    };
    // The screen holds the output's picture: grown before it, shrunk after.
    if (growing && !resizeScreen()) return false;
    auto* set = xcb_randr_set_crtc_config_reply(
        connection_,
        xcb_randr_set_crtc_config(connection_, crtc, XCB_CURRENT_TIME, configured, 0, 0, mode, XCB_RANDR_ROTATION_ROTATE_0,
                                  1, &output),
        nullptr);
    const bool configuredOk = set && set->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    free(set);
    if (!configuredOk) return false;
    if (!growing && !resizeScreen()) return false;
    sync();
    return true;
}

void XTestClient::setPrimaryOutput(uint32_t output) {
    xcb_randr_set_output_primary(connection_, screen_->root, output);
    sync();
}

void XTestClient::setEdidProductName(uint32_t output, const std::string& name) {
    std::vector<uint8_t> edid(128, 0);
    const uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::memcpy(edid.data(), header, sizeof header);
    edid[54] = 0x01;  // a detailed timing first: not a name
    edid[55] = 0x1D;
    uint8_t* descriptor = edid.data() + 72;
    descriptor[3] = 0xFC;
    std::string text = name.substr(0, 13);
    if (text.size() < 13) text += '\n';
    text.resize(13, ' ');
    std::memcpy(descriptor + 5, text.data(), 13);
    xcb_randr_change_output_property(connection_, output, atom("EDID"), XCB_ATOM_INTEGER, 8, XCB_PROP_MODE_REPLACE,
                                     uint32_t(edid.size()), edid.data());
    sync();
}

void XTestClient::setWorkArea(int32_t x, int32_t y, uint32_t width, uint32_t height) {
    uint32_t area[] = {uint32_t(x), uint32_t(y), width, height};
    setProperty(screen_->root, atom("_NET_WORKAREA"), XCB_ATOM_CARDINAL, 32, 4, area);
    sync();
}

xcb_window_t XTestClient::window(int16_t x, int16_t y, uint16_t width, uint16_t height, Colour colour) {
    xcb_window_t window = xcb_generate_id(connection_);
    uint32_t values[] = {colour.pixel(), 1};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root, x, y, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    xcb_map_window(connection_, window);
    sync();
    return window;
}

void XTestClient::fill(xcb_window_t window, Colour colour) {
    uint32_t value = colour.pixel();
    xcb_change_window_attributes(connection_, window, XCB_CW_BACK_PIXEL, &value);
    xcb_clear_area(connection_, 0, window, 0, 0, 0, 0);
    sync();
}

void XTestClient::raise(xcb_window_t window) {
    uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    sync();
}

void XTestClient::warpPointer(int16_t x, int16_t y) {
    xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, x, y);
    sync();
}

void XTestClient::sync() { free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

} // namespace test_support
