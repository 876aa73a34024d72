// The glintor plug-in: the Linux accessibility service and the CursorAXMonitor class.

#include "cursor_monitor.h"

#include "platform/linux/atspi_accessibility.h"
#include "platform/platform.h"

#include <mutex>

namespace {

Napi::Object Initialize(Napi::Env env, Napi::Object exports) {
    // One platform for the process, whichever environment (main thread or worker)
    // loads the plug-in first.
    static std::once_flag installed;
    std::call_once(installed, [] {
        auto services = std::make_shared<platform::Platform>();
        services->accessibility = platform::linux_backend::atspiAccessibility();
        platform::install(services);
    });
    return glintor::InitAll(env, exports);
}

} // namespace

NODE_API_MODULE(glintor, Initialize)
