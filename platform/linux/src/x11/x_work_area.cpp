#include "x11/x_work_area.h"

#include <vector>

namespace platform::linux_backend {
namespace {

std::vector<uint32_t> cardinals(const XConnection& connection, const char* name, uint32_t maximumCount) {
    xcb_atom_t atom = internAtom(connection, name);
    if (atom == XCB_ATOM_NONE) return {};
    auto cookie = xcb_get_property(connection.get(), 0, connection.root(), atom, XCB_ATOM_CARDINAL, 0, maximumCount);
    auto reply = takeReply(xcb_get_property_reply(connection.get(), cookie, nullptr));
    if (!reply || reply->format != 32 || reply->type != XCB_ATOM_CARDINAL) return {};
    const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    return std::vector<uint32_t>(values, values + xcb_get_property_value_length(reply.get()) / 4);
}

} // namespace

std::optional<Rect> currentWorkArea(const XConnection& connection) {
    constexpr uint32_t kMaximumDesktops = 64;
    auto areas = cardinals(connection, "_NET_WORKAREA", 4 * kMaximumDesktops);
    if (areas.size() < 4) return std::nullopt;
    auto desktop = cardinals(connection, "_NET_CURRENT_DESKTOP", 1);
    size_t index = desktop.empty() ? 0 : desktop[0];
    if (4 * index + 4 > areas.size()) index = 0;
    const uint32_t* area = areas.data() + 4 * index;
    return Rect{{double(int32_t(area[0])), double(int32_t(area[1]))}, {double(area[2]), double(area[3])}};
}

} // namespace platform::linux_backend
