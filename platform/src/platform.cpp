#include "platform/platform.h"

#include <mutex>
#include <stdexcept>

namespace platform {
namespace {

std::mutex& installMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

std::shared_ptr<Platform>& slot() {
    static auto* instance = new std::shared_ptr<Platform>();
    return *instance;
}

} // namespace

void install(std::shared_ptr<Platform> platform) {
    std::lock_guard lock(installMutex());
    slot() = std::move(platform);
}

std::shared_ptr<Platform> installedShared() {
    std::lock_guard lock(installMutex());
    if (!slot()) throw std::logic_error("no platform is installed");
    return slot();
}

Platform& installed() { return *installedShared(); }

} // namespace platform
