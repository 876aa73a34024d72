#include "x11/x_screens.h"

#include "x11/x_monitors.h"
#include "x11/x_work_area.h"

#include "platform/error.h"

namespace platform::linux_backend {
namespace {

std::optional<std::vector<XMonitor>> monitorsIfReachable(bool withNames) {
    try {
        auto connection = XConnection::open();
        return listMonitors(connection, withNames);
    } catch (const PlatformError&) {
        return std::nullopt;
    }
}

// The EDID's product name, else the output's name, else the monitor's own name.
std::string screenName(const XMonitor& monitor) {
    if (monitor.productName) return *monitor.productName;
    if (!monitor.outputName.empty()) return monitor.outputName;
    return monitor.monitorName;
}

class XScreens final : public ScreenService {
public:
    std::vector<Screen> screens() override {
        std::vector<Screen> screens;
        try {
            auto connection = XConnection::open();
            auto workArea = currentWorkArea(connection);
            for (const auto& monitor : listMonitors(connection, true)) {
                Rect visible = workArea ? intersection(monitor.frame, *workArea) : monitor.frame;
                // A work area that misses the monitor says nothing about it.
                if (visible.size.width <= 0 || visible.size.height <= 0) visible = monitor.frame;
                screens.push_back({monitor.number, screenName(monitor), monitor.frame, visible});
            }
        } catch (const PlatformError&) {
            // No X server: no screens.
        }
        return screens;
    }

    std::optional<uint32_t> mainDisplayNumber() override {
        auto monitors = monitorsIfReachable(false);
        if (!monitors || monitors->empty()) return std::nullopt;
        for (const auto& monitor : *monitors) {
            if (monitor.primary) return monitor.number;
        }
        return monitors->front().number;
    }

    std::optional<DisplayMode> currentMode(uint32_t displayNumber) override {
        auto monitors = monitorsIfReachable(false);
        if (!monitors) return std::nullopt;
        for (const auto& monitor : *monitors) {
            // X has no point scaling: a point is a pixel.
            auto width = static_cast<int64_t>(monitor.frame.size.width);
            if (monitor.number == displayNumber) return DisplayMode{width, width};
        }
        return std::nullopt;
    }
};

} // namespace

std::shared_ptr<ScreenService> makeXScreens() { return std::make_shared<XScreens>(); }

} // namespace platform::linux_backend
