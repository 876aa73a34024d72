#include "platform/screen_stream.h"

namespace platform {

ContentFilter ContentFilter::displayExcludingWindows(Display display, std::vector<Window> excludedWindows) {
    ContentFilter filter;
    filter.display_ = std::move(display);
    filter.excludedWindows_ = std::move(excludedWindows);
    return filter;
}

ContentFilter ContentFilter::desktopIndependentWindow(Window window) {
    ContentFilter filter;
    filter.window_ = std::move(window);
    return filter;
}

Rect ContentFilter::contentRect() const {
    if (window_) return {{0, 0}, window_->frame.size};
    if (display_) return {{0, 0}, display_->frame.size};
    return {};
}

} // namespace platform
