#include "Tavrik/Requests.h"

#include "Tavrik/JsonWriter.h"

#include <cmath>
#include <limits>

namespace tavrik {
namespace {

// Thrown inside the decoders for any unacceptable value; caught at the top.
struct Undecodable {};

// Deepest nesting of arrays and objects, counted without parsing (strings skipped).
int nestingDepth(std::string_view text) {
    int depth = 0, deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return deepest;
}

std::optional<Json> parseObject(std::string_view text) {
    if (text.size() > kMaxRequestBytes || nestingDepth(text) > kMaxRequestDepth) return std::nullopt;
    Json value = Json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    return value;
}

// The member, or absent when it is missing or null.
const Json* member(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

std::string toString(const Json& value) {
    if (!value.is_string()) throw Undecodable{};
    return value.get<std::string>();
}

bool toBool(const Json& value) {
    if (!value.is_boolean()) throw Undecodable{};
    return value.get<bool>();
}

// Integers: integral JSON numbers in range; a float that is whole and in range counts too.
int64_t toInt64(const Json& value, int64_t low, int64_t high) {
    if (value.is_number_unsigned()) {
        uint64_t n = value.get<uint64_t>();
        if (n > static_cast<uint64_t>(high)) throw Undecodable{};
        return static_cast<int64_t>(n);
    }
    if (value.is_number_integer()) {
        int64_t n = value.get<int64_t>();
        if (n < low || n > high) throw Undecodable{};
        return n;
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        if (!std::isfinite(d) || d != std::trunc(d) || d < static_cast<double>(low) ||
            d >= -static_cast<double>(std::numeric_limits<int64_t>::min()) || d > static_cast<double>(high)) {
            throw Undecodable{};
        }
        return static_cast<int64_t>(d);
    }
    throw Undecodable{};
}

int64_t toInt64(const Json& value) {
    return toInt64(value, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
}

double toNumber(const Json& value) {
    if (!value.is_number()) throw Undecodable{};
    return value.get<double>();
}

const Json& element(const Json& array, size_t index) {
    if (!array.is_array() || array.size() <= index) throw Undecodable{};
    return array[index];
}

platform::Rect toRect(const Json& value) {
    const Json& origin = element(value, 0);
    const Json& size = element(value, 1);
    return {{toNumber(element(origin, 0)), toNumber(element(origin, 1))},
            {toNumber(element(size, 0)), toNumber(element(size, 1))}};
}

// The engine's string-backed values read exactly their strings.
template <typename Value>
Value toRawValue(const Json& value) {
    auto parsed = Value::fromRawValue(toString(value));
    if (!parsed) throw Undecodable{};
    return *parsed;
}

template <typename T, typename Convert>
void readOptional(const Json& object, const char* key, std::optional<T>& field, Convert convert) {
    if (const Json* value = member(object, key)) field = convert(*value);
}

MicrophoneQualityConfig toMicrophoneQuality(const Json& value) {
    if (!value.is_object()) throw Undecodable{};
    MicrophoneQualityConfig quality;
    readOptional(value, "sampleRate", quality.sampleRate, [](const Json& v) { return toInt64(v); });
    readOptional(value, "bitRate", quality.bitRate, [](const Json& v) { return toInt64(v); });
    return quality;
}

// The engine counts frames per second in 32 bits and needs at least one.
bool isUsableFrameRate(int64_t fps) { return fps >= 1 && fps <= std::numeric_limits<int32_t>::max(); }

// A crop is measured in points and scaled to whole pixels; anything beyond a
// million points a side is no display area and would overflow the pixel counts.
bool isUsableCrop(const platform::Rect& crop) {
    constexpr double kLargestSide = 1e6;
    for (double v : {crop.origin.x, crop.origin.y, crop.size.width, crop.size.height}) {
        if (!std::isfinite(v)) return false;
    }
    return crop.size.width >= 0 && crop.size.height >= 0 && crop.size.width <= kLargestSide &&
           crop.size.height <= kLargestSide;
}

RecordConfig toRecordConfig(const Json& object) {
    RecordConfig config;
    const Json* sig = member(object, "sig");
    const Json* outputPath = member(object, "outputPath");
    if (!sig || !outputPath) throw Undecodable{};
    config.sig = toString(*sig);
    config.outputPath = toString(*outputPath);
    readOptional(object, "fps", config.fps, [](const Json& v) { return toInt64(v); });
    readOptional(object, "showCursor", config.showCursor, toBool);
    readOptional(object, "systemAudio", config.systemAudio, toBool);
    readOptional(object, "displayID", config.displayID, toString);
    readOptional(object, "microphoneID", config.microphoneID, toString);
    readOptional(object, "micOutputPath", config.micOutputPath, toString);
    readOptional(object, "sysOutputPath", config.sysOutputPath, toString);
    readOptional(object, "cropRect", config.cropRect, toRect);
    readOptional(object, "losslessAudio", config.losslessAudio, toBool);
    readOptional(object, "excludedProcessID", config.excludedProcessID, [](const Json& v) {
        return static_cast<int32_t>(
            toInt64(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    });
    readOptional(object, "webcamID", config.webcamID, toString);
    readOptional(object, "webcamOutputPath", config.webcamOutputPath, toString);
    readOptional(object, "microphoneQuality", config.microphoneQuality, toMicrophoneQuality);
    readOptional(object, "webcamResolution", config.webcamResolution,
                 toRawValue<Dovezode::WebcamResolution>);
    if (config.fps && !isUsableFrameRate(*config.fps)) throw Undecodable{};
    if (config.cropRect && !isUsableCrop(*config.cropRect)) throw Undecodable{};
    return config;
}

} // namespace

std::optional<RecordConfig> decodeRecordConfig(std::string_view text) {
    auto object = parseObject(text);
    if (!object) return std::nullopt;
    try {
        return toRecordConfig(*object);
    } catch (const Undecodable&) {
        return std::nullopt;
    }
}

std::optional<PreviewConfig> decodePreviewConfig(std::string_view text) {
    auto object = parseObject(text);
    if (!object) return std::nullopt;
    try {
        PreviewConfig config;
        readOptional(*object, "microphoneID", config.microphoneID, toString);
        readOptional(*object, "webcamID", config.webcamID, toString);
        readOptional(*object, "previewMode", config.previewMode,
                     toRawValue<PreviewShape>);
        return config;
    } catch (const Undecodable&) {
        return std::nullopt;
    }
}

std::optional<RequestRefusal> checkRecordConfig(const RecordConfig& config, RequestKind kind) {
    if (kind == RequestKind::start && config.sig != kAccessValue) {
        return RequestRefusal{"unknown error", "ERROR_STARTING"};
    }
    if (config.microphoneID && !config.micOutputPath) {
        return RequestRefusal{"micOutputPath is required when microphoneID is set", "INVALID_CONFIG"};
    }
    if (config.systemAudio.value_or(false) && !config.sysOutputPath) {
        return RequestRefusal{"sysOutputPath is required when systemAudio is enabled", "INVALID_CONFIG"};
    }
    return std::nullopt;
}

} // namespace tavrik
