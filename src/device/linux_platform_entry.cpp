#include "plugin_support.h"

#include "platform/linux/linux_platform.h"

#include <mutex>

namespace lumbra_binding {

void installPlatform() {
    static std::once_flag once;
    std::call_once(once, [] { platform::install(platform::linux_backend::makeLinuxPlatform()); });
}

void addTestControls(Napi::Env, Napi::Object) {}

} // namespace lumbra_binding
