#include "platform/linux/linux_platform.h"

#include "platform/linux/ffmpeg_asset_writers.h"
#include "platform/linux/linux_capture_devices.h"
#include "platform/linux/linux_capture_sessions.h"
#include "platform/linux/logind_power_management.h"
#include "platform/linux/x_preview_windows.h"

#include "platform/linux/ffmpeg_media_assets.h"
#include "common/monotonic_clock.h"
#include "x11/x_screen_stream.h"
#include "x11/x_screens.h"
#include "x11/x_shareable_content.h"

namespace platform::linux_backend {

std::shared_ptr<Platform> makeLinuxPlatform() {
    auto platform = std::make_shared<Platform>();
    platform->mediaAssets = makeFfmpegMediaAssets();
    platform->shareableContent = makeXShareableContent();
    auto cameras = kernelV4l2System();
    platform->captureDevices = makeLinuxCaptureDevices(cameras);
    platform->deviceNotifications = makeLinuxDeviceNotifications();
    platform->screens = makeXScreens();
    platform->assetWriters = makeFfmpegAssetWriters();
    platform->streams = makeXScreenStreams();
    platform->captureSessions = makeLinuxCaptureSessions(cameras);
    platform->powerManagement = makeLogindPowerManagement();
    platform->previewWindows = makeXPreviewWindows(platform->captureSessions);
    platform->captureClock = [] { return monotonicMediaTime(monotonicNanoseconds()); };
    return platform;
}

} // namespace platform::linux_backend
