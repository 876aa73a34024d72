#pragma once
// The request objects of "start", "resume" and "preview", decoded strictly from
// their JSON text, and the checks made on a recording request.

#include "Dovezode/PreviewShape.h"
#include "Dovezode/WebcamResolution.h"

#include "platform/geometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

struct MicrophoneQualityConfig {
    std::optional<int64_t> sampleRate;
    std::optional<int64_t> bitRate;
};

struct RecordConfig {
    std::string sig;
    std::string outputPath;
    std::optional<int64_t> fps;
    std::optional<bool> showCursor;
    std::optional<bool> systemAudio;
    std::optional<std::string> displayID;
    std::optional<std::string> microphoneID;
    std::optional<std::string> micOutputPath;
    std::optional<std::string> sysOutputPath;
    std::optional<platform::Rect> cropRect;
    std::optional<bool> losslessAudio;
    std::optional<int32_t> excludedProcessID;
    std::optional<std::string> webcamID;
    std::optional<std::string> webcamOutputPath;
    std::optional<MicrophoneQualityConfig> microphoneQuality;
    std::optional<Dovezode::WebcamResolution> webcamResolution;
};

struct PreviewConfig {
    std::optional<std::string> microphoneID;
    std::optional<std::string> webcamID;
    std::optional<PreviewShape> previewMode;
};

// Longest request text taken to the decoder, and deepest nesting of its JSON.
inline constexpr size_t kMaxRequestBytes = 1 << 20;
inline constexpr int kMaxRequestDepth = 64;

// Absent when the text is not a decodable request (any cause).
std::optional<RecordConfig> decodeRecordConfig(std::string_view text);
std::optional<PreviewConfig> decodePreviewConfig(std::string_view text);

// The access value that a start request's `sig` must equal.
inline constexpr std::string_view kAccessValue = "pqwdnzruvb83617x92h5k4tc";

enum class RequestKind { start, resume };

struct RequestRefusal {
    std::string message;
    std::string code;
};

// The first failing check of a decoded recording request, or absent when it passes.
std::optional<RequestRefusal> checkRecordConfig(const RecordConfig& config, RequestKind kind);

} // namespace tavrik
