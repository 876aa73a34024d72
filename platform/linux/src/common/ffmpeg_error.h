#pragma once
// Platform errors of the asset writer, built from FFmpeg and errno codes.

#include "platform/error.h"

#include <string>

namespace platform::linux_backend {

inline constexpr const char* kAssetWriterErrorDomain = "AssetWriterErrorDomain";

// FFmpeg's text for an AVERROR code.
std::string ffmpegErrorText(int averror);
// "<what>: <FFmpeg's text>", with the AVERROR code as the error's code.
PlatformError ffmpegError(const std::string& what, int averror);
// Throws ffmpegError when `result` is negative; returns it otherwise.
int checkFfmpeg(int result, const std::string& what);

} // namespace platform::linux_backend
