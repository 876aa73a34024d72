#include "writer/video_encoder_parameters.h"

#include <algorithm>
#include <string>

extern "C" {
#include <libavutil/common.h>
}

namespace platform::linux_backend {

namespace {

// Speed presets that encode 1920x1080 at 60 frames a second live on a few cores:
// screen content is easy to predict, so the faster motion searches lose little.
constexpr const char* kX264SpeedPreset = "veryfast";
constexpr const char* kX265SpeedPreset = "ultrafast";

// libx264 and libx265 take their rates in whole kbit/s: a smaller average (a picture of
// a few pixels) would reach them as no rate at all, which libx264 refuses to open with.
// 16 kbit/s also leaves the rate buffer (twice the average) room for a small picture's
// key frame at a fair quality; for any picture the average would give, it costs nothing.
constexpr int64_t kMinimumVideoBitRate = 16'000;

const char* x264Profile(VideoProfileLevel level) {
    switch (level) {
    case VideoProfileLevel::h264BaselineAutoLevel: return "baseline";
    case VideoProfileLevel::h264MainAutoLevel: return "main";
    default: return "high";
    }
}

void applyRateControl(VideoEncoderParameters& parameters, const VideoCompressionProperties& compression) {
    if (compression.averageBitRate && *compression.averageBitRate > 0) {
        parameters.bitRate = std::max(*compression.averageBitRate, kMinimumVideoBitRate);
        // A whole-screen change may burst above the average, bounded so that
        // one scroll does not cost seconds of bit budget.
        parameters.maxRate = parameters.bitRate * 3 / 2;
        parameters.bufferSize = parameters.bitRate * 2;
    }
    if (compression.maxKeyFrameInterval && *compression.maxKeyFrameInterval > 0)
        parameters.keyFrameInterval = *compression.maxKeyFrameInterval;
    if (compression.maxKeyFrameIntervalDuration && *compression.maxKeyFrameIntervalDuration > 0)
        parameters.keyFrameSeconds = *compression.maxKeyFrameIntervalDuration;
    if (compression.allowFrameReordering && !*compression.allowFrameReordering) parameters.maxBFrames = 0;
    if (compression.expectedSourceFrameRate && *compression.expectedSourceFrameRate > 0)
        parameters.frameRate = compression.expectedSourceFrameRate;
}

void applyColor(VideoEncoderParameters& parameters, const std::optional<VideoColorProperties>& color) {
    if (!color) return;
    parameters.colorPrimaries =
        color->colorPrimaries == VideoColorPrimaries::p3D65 ? AVCOL_PRI_SMPTE432 : AVCOL_PRI_BT709;
    parameters.colorTransfer = AVCOL_TRC_BT709;
    parameters.colorMatrix = AVCOL_SPC_BT709;
}

} // namespace

int encodedDimension(int32_t dimension) { return dimension & ~1; }

VideoEncoderParameters videoEncoderParameters(const VideoSettings& settings, FourCharCode sourcePixelFormat) {
    VideoEncoderParameters parameters;
    const VideoCompressionProperties compression = settings.compressionProperties.value_or(VideoCompressionProperties{});
    const bool tenBitSource = sourcePixelFormat == pixel_format::argb2101010;
    switch (settings.codec) {
    case VideoCodecType::h264:
        parameters.codecName = "libx264";
        parameters.pixelFormat = AV_PIX_FMT_YUV420P;
        parameters.privateOptions = {
            {"preset", kX264SpeedPreset},
            {"profile", x264Profile(compression.profileLevel.value_or(VideoProfileLevel::h264HighAutoLevel))},
            {"forced-idr", "1"}};  // a key frame forced in time is one a player can start from
        applyRateControl(parameters, compression);
        parameters.threads = kX264Threads;
        {
            // The look-ahead thread hands the frame threads each frame as soon as it has
            // weighed it, instead of keeping B-frames + 1 frames ready: 3 pictures less held.
            std::string x264Params = "sync-lookahead=1";
            // With a bound in time the writer places every key frame: the encoder's own (by count,
            // at scene cuts) would come a frame or two beside them.
            if (parameters.keyFrameSeconds > 0) x264Params += ":keyint=infinite:scenecut=0";
            parameters.privateOptions.emplace_back("x264-params", x264Params);
        }
        applyColor(parameters, settings.colorProperties);
        break;
    case VideoCodecType::hevc: {
        const bool main10 = compression.profileLevel == VideoProfileLevel::hevcMain10AutoLevel ||
                            (!compression.profileLevel && tenBitSource);
        parameters.codecName = "libx265";
        parameters.pixelFormat = main10 ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
        parameters.privateOptions = {
            {"preset", kX265SpeedPreset},
            {"profile", main10 ? "main10" : "main"},
            {"forced-idr", "1"},
            {"x265-params", "pools=" + std::to_string(kVideoEncoderThreads) + ":log-level=error"}};
        parameters.codecTag = MKTAG('h', 'v', 'c', '1');  // the tag Apple players require
        applyRateControl(parameters, compression);
        if (parameters.keyFrameSeconds > 0) parameters.privateOptions.back().second += ":keyint=-1:scenecut=0";
        applyColor(parameters, settings.colorProperties);
        break;
    }
    case VideoCodecType::proRes422:
        parameters.codecName = "prores_ks";
        parameters.pixelFormat = AV_PIX_FMT_YUV422P10LE;
        parameters.privateOptions = {{"profile", "standard"}};
        break;
    case VideoCodecType::proRes4444:
        parameters.codecName = "prores_ks";
        parameters.pixelFormat = AV_PIX_FMT_YUV444P10LE;
        parameters.privateOptions = {{"profile", "4444"}};
        break;
    }
    return parameters;
}

} // namespace platform::linux_backend
