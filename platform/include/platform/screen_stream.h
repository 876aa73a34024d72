#pragma once
// Screen streams: what a stream shows (content filter), how it captures
// (configuration), and the stream that delivers screen, system-audio and
// microphone samples to its outputs on the queues they were added with.

#include "platform/error.h"
#include "platform/format_description.h"
#include "platform/geometry.h"
#include "platform/media_time.h"
#include "platform/queues.h"
#include "platform/sample_buffer.h"
#include "platform/shareable_content.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// What a stream shows: one display without some of its windows, or one window alone.
class ContentFilter {
public:
    static ContentFilter displayExcludingWindows(Display display, std::vector<Window> excludedWindows);
    static ContentFilter desktopIndependentWindow(Window window);

    bool isWindow() const { return window_.has_value(); }
    const std::optional<Display>& display() const { return display_; }
    const std::vector<Window>& excludedWindows() const { return excludedWindows_; }
    const std::optional<Window>& window() const { return window_; }
    // The filtered content's rectangle in points: the display's frame, or the
    // window's frame, each with its origin at zero.
    Rect contentRect() const;

private:
    std::optional<Display> display_;
    std::vector<Window> excludedWindows_;
    std::optional<Window> window_;
};

namespace color_space {
inline constexpr const char* sRGB = "sRGB";
inline constexpr const char* displayP3 = "DisplayP3";
} // namespace color_space

struct StreamConfiguration {
    // Frames the stream may hold for a slow consumer before it drops new ones.
    int32_t queueDepth = 8;
    // Absent: the backend's default (BGRA, sRGB).
    std::optional<FourCharCode> pixelFormat;
    std::optional<std::string> colorSpaceName;
    // Shortest time between two frames; invalid means as fast as the display changes.
    MediaTime minimumFrameInterval = MediaTime::invalid();
    bool showsCursor = true;
    bool showMouseClicks = false;
    bool capturesAudio = false;
    bool captureMicrophone = false;
    std::optional<std::string> microphoneCaptureDeviceID;
    // Part of the content to capture, in points of the content; absent: all of it.
    std::optional<Rect> sourceRect;
    // Size of the delivered frames in pixels; absent: the source's own size.
    std::optional<int64_t> width;
    std::optional<int64_t> height;
};

enum class StreamOutputType { screen, audio, microphone };

class Stream;

// Receives the samples of a stream. Called on the queue the output was added with.
class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void streamDidOutputSampleBuffer(Stream& stream, const SampleBufferRef& sample,
                                             StreamOutputType type) = 0;
};

// Told when the stream stops by itself with an error, on a thread of the backend's choosing.
class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    virtual void streamDidStopWithError(Stream& stream, const PlatformError& error) = 0;
};

class Stream {
public:
    virtual ~Stream() = default;
    // Adds an output for one type of samples, delivered on `queue`. The stream holds
    // the output weakly. Throws PlatformError when the stream refuses it.
    virtual void addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                 std::shared_ptr<Queue> queue) = 0;
    // Blocks until capture runs; throws PlatformError when it cannot start.
    virtual void startCapture() = 0;
    // Blocks until capture has stopped and no more samples will be delivered;
    // throws PlatformError when stopping fails.
    virtual void stopCapture() = 0;
};

class StreamService {
public:
    virtual ~StreamService() = default;
    // A stream that has not started; the delegate is held weakly.
    virtual std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                               std::weak_ptr<StreamDelegate> delegate) = 0;
};

} // namespace platform
