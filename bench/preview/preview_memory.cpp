// Memory over a long preview: both previews run (a scripted V4L2 camera delivering
// 1280x720 frames into the window on a private Xvfb, the sine microphone of a
// private PulseAudio daemon printing its level lines to /dev/null) while the
// resident and peak resident set sizes are printed at intervals.
//
//     preview_memory [seconds=600] [interval=30]

#include "capture_support.h"
#include "fake_v4l2_kernel.h"
#include "private_servers.h"

#include "Dovezode/PreviewSession.h"
#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/linux/linux_capture_devices.h"
#include "platform/linux/linux_capture_sessions.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/x_preview_windows.h"
#include "platform/queues.h"

#include <linux/videodev2.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

// A field of /proc/self/status in kB.
long statusKilobytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::stoi(argv[1]) : 600;
    const int interval = argc > 2 ? std::stoi(argv[2]) : 30;

    test_support::PrivateXServer x;
    test_support::PrivatePulseServer pulse(/*realTimeMicrophone=*/true);
    if (!x.started() || !pulse.started()) {
        std::fprintf(stderr, "no private X server or PulseAudio daemon\n");
        return 1;
    }
    auto kernel = test_support::FakeV4l2Kernel::withCamera({{V4L2_PIX_FMT_YUYV, {{1280, 720}}}}, {40, 160, 220});
    auto linux = platform::linux_backend::makeLinuxPlatform();
    linux->captureDevices = platform::linux_backend::makeLinuxCaptureDevices(kernel);
    linux->captureSessions = platform::linux_backend::makeLinuxCaptureSessions(kernel);
    linux->previewWindows = platform::linux_backend::makeXPreviewWindows(linux->captureSessions);
    platform::install(linux);

    // The level lines go nowhere; the report goes to standard error.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    std::thread mainQueue([] { platform::runMainQueue(); });
    platform::mainQueue()->sync([] {});

    {
        PreviewSession preview{*linux};
        preview.startMicrophonePreview(test_support::PrivatePulseServer::kSineSource);
        preview.startWebcamPreview(test_support::FakeV4l2Kernel::kCameraUniqueID, PreviewShape::rounded);
        std::fprintf(stderr, "seconds  VmRSS kB  VmHWM kB\n");
        const auto start = std::chrono::steady_clock::now();
        for (int elapsed = 0; elapsed <= seconds; elapsed += interval) {
            std::this_thread::sleep_until(start + std::chrono::seconds(elapsed));
            std::fprintf(stderr, "%7d  %8ld  %8ld\n", elapsed, statusKilobytes("VmRSS"), statusKilobytes("VmHWM"));
        }
        preview.stopAll();
    }
    platform::mainQueue()->sync([] {});
    platform::stopMainQueue();
    mainQueue.join();
    return 0;
}
