#include "platform/linux/linux_platform.h"

#include "platform/linux/ffmpeg_asset_writers.h"

namespace platform::linux_backend {

std::shared_ptr<Platform> makeLinuxPlatform() {
    auto platform = std::make_shared<Platform>();
    platform->assetWriters = makeFfmpegAssetWriters();
    return platform;
}

} // namespace platform::linux_backend
