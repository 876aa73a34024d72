#include "common/ffmpeg_error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace platform::linux_backend {

std::string ffmpegErrorText(int averror) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return text;
}

PlatformError ffmpegError(const std::string& what, int averror) {
    return PlatformError(kAssetWriterErrorDomain, averror, what + ": " + ffmpegErrorText(averror));
}

int checkFfmpeg(int result, const std::string& what) {
    if (result < 0) throw ffmpegError(what, result);
    return result;
}

} // namespace platform::linux_backend
