#include "platform/linux/linux_platform.h"

#include "ffmpeg_media_asset.h"

namespace platform::linux_backend {

std::shared_ptr<Platform> makeLinuxPlatform() {
    auto platform = std::make_shared<Platform>();
    platform->mediaAssets = makeFfmpegMediaAssets();
    return platform;
}

} // namespace platform::linux_backend
