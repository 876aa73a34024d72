#include "writer/video_encoder_opened_ahead.h"

#include "writer/video_encoder.h"

#include <system_error>

namespace platform::linux_backend {

VideoEncoderOpenedAhead::VideoEncoderOpenedAhead() = default;

VideoEncoderOpenedAhead::~VideoEncoderOpenedAhead() { discard(); }

void VideoEncoderOpenedAhead::discard() { take({}, 0, false); }

void VideoEncoderOpenedAhead::open(const VideoSettings& settings, FourCharCode sourcePixelFormat, bool globalHeader) {
    std::lock_guard lock(mutex_);
    if (hinted_) return;
    hinted_ = true;
    auto prepared = std::make_unique<Prepared>();
    prepared->settings = settings;
    prepared->sourcePixelFormat = sourcePixelFormat;
    prepared->globalHeader = globalHeader;
    Prepared* target = prepared.get();
    try {
        preparing_ = std::thread([target] {
            try {
                target->encoder = std::make_unique<VideoEncoder>(target->settings, target->sourcePixelFormat,
                                                                 target->globalHeader, PacketSink{});
                target->encoder->backPictureMemory();
            } catch (...) {
                // Opened again for the input, which reports what fails then.
                target->encoder.reset();
            }
        });
    } catch (const std::system_error&) {
        return;  // no thread to spare: the encoder opens with its input, as without the hint
    }
    prepared_ = std::move(prepared);
}

std::unique_ptr<VideoEncoder> VideoEncoderOpenedAhead::take(const VideoSettings& settings,
                                                            FourCharCode sourcePixelFormat, bool globalHeader) {
    std::unique_ptr<Prepared> prepared;
    {
        std::lock_guard lock(mutex_);
        if (preparing_.joinable()) preparing_.join();
        prepared = std::move(prepared_);
    }
    if (!prepared || !prepared->encoder || prepared->settings != settings ||
        prepared->sourcePixelFormat != sourcePixelFormat || prepared->globalHeader != globalHeader) {
        return nullptr;
    }
    return std::move(prepared->encoder);
}

} // namespace platform::linux_backend
