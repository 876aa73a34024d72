#pragma once
// The encoder, pixel format and encoder options a set of video settings maps to.
// One place, so that the writer and the encoding benchmark use the same ones.

#include "platform/asset_writer.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace platform::linux_backend {

// libx264 and libx265 default to about 1.5 threads a core; on 8 cores that costs
// 30 to 50% more CPU per frame than a few threads, and a recording runs up to two
// video encoders beside capture. Four threads keep 1920x1080 at 60 frames a
// second live with CPU to spare.
inline constexpr int kVideoEncoderThreads = 4;
// libx264 takes one thread less: on 1920x1080 screen content three frame threads still
// keep 60 frames a second live, losing no more frames beside a busy process on every
// core, for 3 to 5% less CPU, about 40 MiB less memory, and a rate control that sees
// the sizes of the frames before sooner (0.6 to 1.1 dB more on the same frames).
inline constexpr int kX264Threads = 3;

// The mp4 time base of video tracks: fine enough for capture clocks.
inline constexpr int kVideoTimescale = 90000;

struct VideoEncoderParameters {
    std::string codecName;  // FFmpeg encoder name
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    int threads = kVideoEncoderThreads;
    int64_t bitRate = 0;     // 0: the encoder's constant-quality default
    int64_t maxRate = 0;     // VBV ceiling, 0 for none
    int64_t bufferSize = 0;  // VBV buffer, bits
    int keyFrameInterval = 0;               // frames, 0 for the encoder's default
    double keyFrameSeconds = 0;             // key frames at most this far apart in time, 0 for no bound
    std::optional<int> maxBFrames;          // unset: the speed preset's choice
    std::optional<double> frameRate;        // the rate control's nominal frame rate
    std::vector<std::pair<std::string, std::string>> privateOptions;  // in order
    AVColorPrimaries colorPrimaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic colorTransfer = AVCOL_TRC_UNSPECIFIED;
    AVColorSpace colorMatrix = AVCOL_SPC_UNSPECIFIED;
    uint32_t codecTag = 0;  // 0: the muxer's default
};

// `sourcePixelFormat` is the pixel format of the frames (BGRA or packed 10-bit
// RGB): HEVC encodes 10-bit sources in Main 10, 8-bit ones in Main.
VideoEncoderParameters videoEncoderParameters(const VideoSettings& settings, FourCharCode sourcePixelFormat);

// The encoded size: the settings' size rounded down to even numbers, as 4:2:0 needs.
int encodedDimension(int32_t dimension);

} // namespace platform::linux_backend
