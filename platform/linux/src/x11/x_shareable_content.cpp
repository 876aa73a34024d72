#include "x11/x_shareable_content.h"

#include "x11/x_monitors.h"
#include "x11/x_windows.h"

namespace platform::linux_backend {
namespace {

class XShareableContent final : public ShareableContentService {
public:
    ShareableContent current(const ShareableContentOptions& options) override {
        auto connection = XConnection::open();
        ShareableContent content;
        for (const auto& monitor : listMonitors(connection, false)) {
            auto width = static_cast<int64_t>(monitor.frame.size.width);
            auto height = static_cast<int64_t>(monitor.frame.size.height);
            content.displays.push_back({monitor.number, width, height, monitor.frame});
        }
        content.windows = listWindows(connection, options);
        connection.checkAlive(kStreamErrorNoDisplayList);
        return content;
    }
};

} // namespace

std::shared_ptr<ShareableContentService> makeXShareableContent() { return std::make_shared<XShareableContent>(); }

} // namespace platform::linux_backend
