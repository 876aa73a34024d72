// The screen stream of a recording: what it shows, how large and how often, and
// which of its outputs the session takes. Set up once, at the start: a resume
// finds the stream running.

#include "Dovezode/RecordingSession.h"

#include "platform/queues.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace Dovezode {

using platform::MediaTime;
using platform::PlatformError;

namespace {

// Decimal text of a display or window number, as target identifiers name them.
std::string decimal(uint32_t number) { return std::to_string(number); }

int64_t truncated(double value) { return static_cast<int64_t>(std::trunc(value)); }

// The planned size of the stream's pictures, when both sides are planned and positive.
std::optional<platform::VideoDimensions> plannedSize(const std::optional<int64_t>& width,
                                                     const std::optional<int64_t>& height) {
    const auto fits = [](const std::optional<int64_t>& side) {
        return side && *side > 0 && *side <= std::numeric_limits<int32_t>::max();
    };
    if (!fits(width) || !fits(height)) return std::nullopt;
    return platform::VideoDimensions{static_cast<int32_t>(*width), static_cast<int32_t>(*height)};
}

} // namespace

platform::StreamConfiguration RecordingSession::makeConfiguration(Target target,
                                                                  const RecordingOptions& options) const {
    platform::StreamConfiguration configuration;
    configuration.queueDepth = 6;
    switch (options.videoCodec) {
    case VideoCodec::h264:
        configuration.pixelFormat = platform::pixel_format::bgra;
        configuration.colorSpaceName = platform::color_space::sRGB;
        break;
    case VideoCodec::hevc:
        configuration.pixelFormat = platform::pixel_format::argb2101010;
        configuration.colorSpaceName = platform::color_space::displayP3;
        break;
    default: break;  // ProRes keeps the stream's defaults
    }
    const auto& capabilities = platform_.capabilities;
    configuration.minimumFrameInterval = target == Target::audioOnly ? MediaTime::make(1, 1) : frameIntervalOf(options);
    configuration.showsCursor = options.showCursor;
    if (capabilities.streamDrawsClicks) configuration.showMouseClicks = options.highlightClicks;
    if (options.recordSystemAudio) configuration.capturesAudio = true;
    if (capabilities.streamCapturesMicrophone && options.microphoneDeviceID) {
        configuration.captureMicrophone = true;
        configuration.microphoneCaptureDeviceID = options.microphoneDeviceID;
    }
    return configuration;
}

void RecordingSession::setUpStream(Target target, const RecordingOptions& options) {
    platform::StreamConfiguration configuration = makeConfiguration(target, options);
    platform::ShareableContent content;
    try {
        content = platform_.shareableContent->current({.excludingDesktopWindows = false, .onScreenWindowsOnly = false});
    } catch (const PlatformError& error) {
        if (error.code() == platform::kStreamErrorUserDeclined) throw Error::noPermissions();
        throw Error::couldNotStartStream(error);
    }
    {
        // What the stream captures besides the screen is set once, here: a resume cannot add to it.
        std::lock_guard guard(stateLock_);
        streamCapturesAudio_ = options.recordSystemAudio;
        streamCapturesMicrophone_ = configuration.captureMicrophone;
    }

    CapturePlan plan = planCapture(target, options, content);
    configuration.sourceRect = plan.sourceRect;
    configuration.width = plan.width;
    configuration.height = plan.height;

    if (target == Target::lumbra) return;
    // Known before the first picture, so the main file's writer can get its encoder ready.
    if (auto size = plannedSize(plan.width, plan.height); size && target != Target::audioOnly) {
        std::lock_guard guard(stateLock_);
        plannedPictures_ = PlannedPictures{*size, configuration.pixelFormat.value_or(platform::pixel_format::bgra)};
    }
    auto stream = platform_.streams->makeStream(*plan.filter, configuration, weak_from_this());
    {
        std::lock_guard guard(stateLock_);
        stream_ = stream;
    }
    if (!stream) return;
    std::vector<platform::StreamOutputType> types{platform::StreamOutputType::screen};
    if (options.recordSystemAudio) types.push_back(platform::StreamOutputType::audio);
    if (configuration.captureMicrophone) types.push_back(platform::StreamOutputType::microphone);
    for (auto type : types) {
        try {
            stream->addStreamOutput(weak_from_this(), type, platform::globalQueue());
        } catch (const PlatformError& error) {
            throw Error::couldNotStartStream(error);
        }
    }
}

RecordingSession::CapturePlan RecordingSession::planCapture(Target target, const RecordingOptions& options,
                                                            const platform::ShareableContent& content) const {
    const bool contentRectSizing = platform_.capabilities.contentRectangleSizing;
    CapturePlan plan;
    switch (target) {
    case Target::screen: {
        auto display = std::find_if(content.displays.begin(), content.displays.end(),
                                    [&](const auto& d) { return decimal(d.displayID) == *options.targetID; });
        if (display == content.displays.end()) throw Error::targetNotFound(*options.targetID);
        // The program's own windows (and those of the excluded process) never appear.
        std::vector<int32_t> hidden;
        if (options.excludedProcessID) hidden.push_back(*options.excludedProcessID);
        hidden.push_back(static_cast<int32_t>(getpid()));
        std::vector<platform::Window> excluded;
        for (const auto& window : content.windows) {
            if (window.owningApplication &&
                std::find(hidden.begin(), hidden.end(), window.owningApplication->processID) != hidden.end()) {
                excluded.push_back(window);
            }
        }
        plan.filter = platform::ContentFilter::displayExcludingWindows(*display, std::move(excluded));
        auto scale = [&] {
            auto mode = platform_.screens ? platform_.screens->currentMode(display->displayID) : std::nullopt;
            if (!mode || mode->width == 0) return int64_t{1};
            return mode->pixelWidth / mode->width;
        };
        if (const auto& crop = options.cropRect) {
            // Only the part of the crop on the display can be captured: the picture is
            // never larger than the display, whatever the request asks for. A crop
            // beside the display leaves an empty area, which the stream refuses.
            const platform::Rect area = platform::intersection({{0, 0}, display->frame.size}, *crop);
            plan.sourceRect = area;
            plan.width = scale() * truncated(area.size.width);
            plan.height = scale() * truncated(area.size.height);
        } else {
            platform::Rect rect = contentRectSizing ? plan.filter->contentRect() : display->frame;
            plan.width = scale() * truncated(rect.size.width);
            plan.height = scale() * truncated(rect.size.height);
        }
        break;
    }
    case Target::window: {
        auto window = std::find_if(content.windows.begin(), content.windows.end(),
                                   [&](const auto& w) { return decimal(w.windowID) == *options.targetID; });
        if (window == content.windows.end()) throw Error::targetNotFound(*options.targetID);
        plan.filter = platform::ContentFilter::desktopIndependentWindow(*window);
        platform::Rect rect = contentRectSizing ? plan.filter->contentRect() : window->frame;
        plan.width = truncated(rect.size.width);
        plan.height = truncated(rect.size.height);
        break;
    }
    case Target::audioOnly:
        if (content.displays.empty()) throw Error::noDisplaysConnected();
        plan.filter = platform::ContentFilter::displayExcludingWindows(content.displays.front(), {});
        break;
    case Target::lumbra: break;
    }
    return plan;
}

} // namespace Dovezode
