#pragma once
// A video encoder opened on a thread of its own before its input's first frame
// (libx264 takes a while to open), taken by the video track when it fits.

#include "platform/asset_writer.h"

#include <memory>
#include <mutex>
#include <thread>

namespace platform::linux_backend {

class VideoEncoder;

class VideoEncoderOpenedAhead {
public:
    VideoEncoderOpenedAhead();
    ~VideoEncoderOpenedAhead();
    VideoEncoderOpenedAhead(const VideoEncoderOpenedAhead&) = delete;
    VideoEncoderOpenedAhead& operator=(const VideoEncoderOpenedAhead&) = delete;

    // Starts opening an encoder for these settings, pixel format and header placement.
    // Only the first call opens one. Any thread.
    void open(const VideoSettings& settings, FourCharCode sourcePixelFormat, bool globalHeader);
    // The encoder when it was opened for exactly these settings, pixel format and header
    // placement, else null (one that does not fit is freed). Waits for the opening to end.
    // Any thread; once taken, nothing is kept.
    std::unique_ptr<VideoEncoder> take(const VideoSettings& settings, FourCharCode sourcePixelFormat,
                                       bool globalHeader);
    // Waits for the opening to end and frees what it opened.
    void discard();

private:
    // What the encoder is opened for.
    struct Prepared {
        VideoSettings settings;
        FourCharCode sourcePixelFormat = 0;
        bool globalHeader = false;
        std::unique_ptr<VideoEncoder> encoder;  // null until opened, or when opening failed
    };

    // Guards preparing_, prepared_ and hinted_. prepared_->encoder is written by the
    // preparing_ thread only, and read once that thread is joined.
    std::mutex mutex_;
    std::thread preparing_;
    std::unique_ptr<Prepared> prepared_;
    bool hinted_ = false;
};

} // namespace platform::linux_backend
