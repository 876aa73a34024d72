#include "x11/x_monitors.h"

#include "x11/edid.h"
#include "common/utf8_text.h"

#include <xcb/randr.h>

namespace platform::linux_backend {
namespace {

constexpr uint32_t kEdidMaximumLongs = 128;  // 512 bytes: the base block and three extensions

bool hasMonitorRequests(const XConnection& connection) {
    const auto* extension = xcb_get_extension_data(connection.get(), &xcb_randr_id);
    if (!extension || !extension->present) return false;
    auto version = takeReply(xcb_randr_query_version_reply(
        connection.get(), xcb_randr_query_version(connection.get(), 1, 5), nullptr));
    return version && (version->major_version > 1 || version->minor_version >= 5);
}

XMonitor wholeScreen(const XConnection& connection) {
    XMonitor monitor;
    monitor.number = connection.root();
    monitor.frame = {{0, 0}, {double(connection.screen()->width_in_pixels), double(connection.screen()->height_in_pixels)}};
    monitor.primary = true;
    monitor.monitorName = "Screen";
    return monitor;
}

std::string outputName(const XConnection& connection, xcb_randr_output_t output) {
    auto info = takeReply(xcb_randr_get_output_info_reply(
        connection.get(), xcb_randr_get_output_info(connection.get(), output, XCB_CURRENT_TIME), nullptr));
    if (!info) return {};
    auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
    return validUtf8(std::string_view(name, static_cast<size_t>(xcb_randr_get_output_info_name_length(info.get()))));
}

std::optional<std::string> productName(const XConnection& connection, xcb_randr_output_t output, xcb_atom_t edidAtom) {
    if (edidAtom == XCB_ATOM_NONE) return std::nullopt;
    auto cookie = xcb_randr_get_output_property(connection.get(), output, edidAtom, XCB_ATOM_ANY, 0,
                                                kEdidMaximumLongs, 0, 0);
    auto reply = takeReply(xcb_randr_get_output_property_reply(connection.get(), cookie, nullptr));
    if (!reply || reply->format != 8) return std::nullopt;
    const uint8_t* data = xcb_randr_get_output_property_data(reply.get());
    std::vector<uint8_t> edid(data, data + xcb_randr_get_output_property_data_length(reply.get()));
    return edidProductName(edid);
}

} // namespace

std::vector<XMonitor> listMonitors(const XConnection& connection, bool withNames) {
    if (!hasMonitorRequests(connection)) return {wholeScreen(connection)};
    auto reply = takeReply(xcb_randr_get_monitors_reply(
        connection.get(), xcb_randr_get_monitors(connection.get(), connection.root(), 1), nullptr));
    if (!reply) return {wholeScreen(connection)};
    xcb_atom_t edidAtom = withNames ? internAtom(connection, "EDID") : xcb_atom_t(XCB_ATOM_NONE);

    std::vector<XMonitor> monitors;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* info = it.data;
        int outputCount = xcb_randr_monitor_info_outputs_length(info);
        const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(info);
        XMonitor monitor;
        monitor.number = outputCount > 0 ? outputs[0] : info->name;
        monitor.frame = {{double(info->x), double(info->y)}, {double(info->width), double(info->height)}};
        monitor.primary = info->primary != 0;
        if (withNames) {
            monitor.monitorName = validUtf8(atomName(connection, info->name));
            if (outputCount > 0) {
                monitor.outputName = outputName(connection, outputs[0]);
                monitor.productName = productName(connection, outputs[0], edidAtom);
            }
        }
        monitors.push_back(std::move(monitor));
    }
    return monitors;
}

} // namespace platform::linux_backend
