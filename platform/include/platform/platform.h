#pragma once
// The installation point: engine code reaches the platform only through the
// installed instance. main() installs the Linux platform; a test fixture a fake one.
// Each concern is one service member, filled by the backends that provide it.

#include "platform/capabilities.h"
#include "platform/capture_devices.h"
#include "platform/screens.h"
#include "platform/shareable_content.h"

#include "platform/media_time.h"

#include <functional>
#include <memory>

namespace platform {

class AccessibilityService;   // platform/accessibility.h
class AssetWriters;           // platform/asset_writer.h
class CaptureSessionService;  // platform/capture_session.h
class DeviceNotificationCenter;  // platform/device_notifications.h
class MediaAssets;            // platform/media_asset.h
class PowerManagement;        // platform/activity.h
class PreviewWindowService;   // platform/preview_window.h
class StreamService;          // platform/screen_stream.h

struct Platform {
    Capabilities capabilities;
    std::shared_ptr<MediaAssets> mediaAssets;
    std::shared_ptr<ShareableContentService> shareableContent;
    std::shared_ptr<CaptureDeviceService> captureDevices;
    std::shared_ptr<DeviceNotificationCenter> deviceNotifications;
    std::shared_ptr<ScreenService> screens;
    std::shared_ptr<AssetWriters> assetWriters;
    std::shared_ptr<StreamService> streams;
    std::shared_ptr<CaptureSessionService> captureSessions;
    std::shared_ptr<PowerManagement> powerManagement;
    std::shared_ptr<PreviewWindowService> previewWindows;
    std::shared_ptr<AccessibilityService> accessibility;
    // Now, on the clock the capture backends stamp their samples with; empty when
    // the backend has no such clock for the engine to read.
    std::function<MediaTime()> captureClock;
};

// Replaces the installed platform. Not meant to race with users of the old one.
void install(std::shared_ptr<Platform> platform);
// The installed platform. Throws std::logic_error when none is installed.
Platform& installed();
std::shared_ptr<Platform> installedShared();

} // namespace platform
