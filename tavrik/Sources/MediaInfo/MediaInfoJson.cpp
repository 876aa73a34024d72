#include "MediaInfo/MediaInfoJson.h"

#include "MediaInfo/PathText.h"

#include <cmath>

namespace mediainfo {
namespace {

using Json = nlohmann::json;

// Readers of one member; each fails (returns false) on a missing key or a wrong type.
class Reader {
public:
    explicit Reader(const Json& object) : object_(object) {}

    bool integer(const char* key, int64_t& out) const {
        const Json* value = find(key);
        if (!value) return false;
        if (value->is_number_integer()) {
            out = value->get<int64_t>();
            return true;
        }
        if (value->is_number_unsigned()) {
            if (value->get<uint64_t>() > uint64_t(INT64_MAX)) return false;
            out = int64_t(value->get<uint64_t>());
            return true;
        }
        if (!value->is_number_float()) return false;
        double number = value->get<double>();
        // A whole number within range; 2^63 itself is out of range.
        if (!std::isfinite(number) || number != std::trunc(number) || number < -9.2233720368547758e18 ||
            number >= 9.2233720368547758e18)
            return false;
        out = static_cast<int64_t>(number);
        return true;
    }

    bool number(const char* key, double& out) const {
        const Json* value = find(key);
        if (!value || !value->is_number()) return false;
        out = value->get<double>();
        return true;
    }

    bool text(const char* key, std::string& out) const {
        const Json* value = find(key);
        if (!value || !value->is_string()) return false;
        out = value->get<std::string>();
        return true;
    }

    bool boolean(const char* key, bool& out) const {
        const Json* value = find(key);
        if (!value || !value->is_boolean()) return false;
        out = value->get<bool>();
        return true;
    }

    // Missing and null both mean absent; any other non-text value fails.
    bool optionalText(const char* key, std::optional<std::string>& out) const {
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) {
            out.reset();
            return true;
        }
        if (!it->is_string()) return false;
        out = it->get<std::string>();
        return true;
    }

private:
    const Json* find(const char* key) const {
        auto it = object_.find(key);
        return it == object_.end() ? nullptr : &*it;
    }

    const Json& object_;
};

// Texts are written as UTF-8; a byte that is not (a file name is bytes) becomes U+FFFD.
std::string utf8(const std::string& text) { return validUtf8Text(text); }

} // namespace

Json toJson(const VideoInfo& info) {
    Json json = {
        {"width", info.width},
        {"height", info.height},
        {"framerate", info.framerate},
        {"durationMs", info.durationMs},
        {"bitrate", info.bitrate},
        {"codec", utf8(info.codec)},
        {"level", info.level},
        {"framerateRational", utf8(info.framerateRational)},
        {"startTime", info.startTimeMs},
        {"totalFrames", info.totalFrames},
        {"avgFrameRate", utf8(info.avgFrameRate)},
        {"realFrameRate", utf8(info.realFrameRate)},
        {"timeBase", utf8(info.timeBase)},
        {"pixelFormat", utf8(info.pixelFormat)},
    };
    if (info.profile) json["profile"] = utf8(*info.profile);
    json["msPerFrame"] = info.msPerFrame;
    json["hasAudio"] = info.hasAudio;
    return json;
}

Json toJson(const AudioInfo& info) {
    return {
        {"codec", utf8(info.codec)},
        {"sampleRate", info.sampleRate},
        {"channels", info.channels},
        {"channelLayout", utf8(info.channelLayout)},
        {"bitrate", info.bitrate},
        {"durationMs", info.durationMs},
        {"timeBase", utf8(info.timeBase)},
        {"sampleFormat", utf8(info.sampleFormat)},
        {"totalSamples", info.totalSamples},
        {"hasVideo", info.hasVideo},
        {"startTime", info.startTimeMs},
    };
}

Json toJson(const MediaInfo& info) {
    Json json = {{"type", std::holds_alternative<VideoInfo>(info) ? "video" : "audio"}};
    Json payload = std::visit([](const auto& record) { return toJson(record); }, info);
    for (auto& [key, value] : payload.items()) json[key] = std::move(value);
    return json;
}

Json toJson(const MediaInfoResult& result) {
    Json json = {{"path", utf8(result.path)}};
    if (result.info) json["info"] = toJson(*result.info);
    if (result.error) json["error"] = utf8(*result.error);
    return json;
}

std::optional<VideoInfo> videoInfoFromJson(const Json& json) {
    if (!json.is_object()) return std::nullopt;
    Reader read(json);
    VideoInfo info;
    bool ok = read.integer("width", info.width) && read.integer("height", info.height) &&
              read.number("framerate", info.framerate) && read.text("framerateRational", info.framerateRational) &&
              read.number("durationMs", info.durationMs) && read.number("startTime", info.startTimeMs) &&
              read.integer("totalFrames", info.totalFrames) && read.text("avgFrameRate", info.avgFrameRate) &&
              read.text("realFrameRate", info.realFrameRate) && read.text("timeBase", info.timeBase) &&
              read.integer("bitrate", info.bitrate) && read.text("codec", info.codec) &&
              read.text("pixelFormat", info.pixelFormat) && read.optionalText("profile", info.profile) &&
              read.integer("level", info.level) && read.number("msPerFrame", info.msPerFrame) &&
              read.boolean("hasAudio", info.hasAudio);
    if (!ok) return std::nullopt;
    return info;
}

std::optional<AudioInfo> audioInfoFromJson(const Json& json) {
    if (!json.is_object()) return std::nullopt;
    Reader read(json);
    AudioInfo info;
    bool ok = read.text("codec", info.codec) && read.integer("sampleRate", info.sampleRate) &&
              read.integer("channels", info.channels) && read.text("channelLayout", info.channelLayout) &&
              read.integer("bitrate", info.bitrate) && read.number("durationMs", info.durationMs) &&
              read.number("startTime", info.startTimeMs) && read.text("timeBase", info.timeBase) &&
              read.text("sampleFormat", info.sampleFormat) && read.integer("totalSamples", info.totalSamples) &&
              read.boolean("hasVideo", info.hasVideo);
    if (!ok) return std::nullopt;
    return info;
}

std::optional<MediaInfo> mediaInfoFromJson(const Json& json) {
    if (!json.is_object()) return std::nullopt;
    std::string type;
    if (!Reader(json).text("type", type)) return std::nullopt;
    if (type == "video") {
        if (auto video = videoInfoFromJson(json)) return MediaInfo{*video};
    } else if (type == "audio") {
        if (auto audio = audioInfoFromJson(json)) return MediaInfo{*audio};
    }
    return std::nullopt;
}

std::optional<MediaInfoResult> mediaInfoResultFromJson(const Json& json) {
    if (!json.is_object()) return std::nullopt;
    Reader read(json);
    MediaInfoResult result;
    if (!read.text("path", result.path) || !read.optionalText("error", result.error)) return std::nullopt;
    auto info = json.find("info");
    if (info != json.end() && !info->is_null()) {
        result.info = mediaInfoFromJson(*info);
        if (!result.info) return std::nullopt;
    }
    return result;
}

std::optional<std::string> nonFiniteField(const MediaInfo& info) {
    auto firstNonFinite = [](std::initializer_list<std::pair<const char*, double>> fields) -> std::optional<std::string> {
        for (const auto& [key, value] : fields)
            if (!std::isfinite(value)) return key;
        return std::nullopt;
    };
    if (const auto* video = std::get_if<VideoInfo>(&info))
        return firstNonFinite({{"framerate", video->framerate},
                               {"durationMs", video->durationMs},
                               {"startTime", video->startTimeMs},
                               {"msPerFrame", video->msPerFrame}});
    const auto& audio = std::get<AudioInfo>(info);
    return firstNonFinite({{"durationMs", audio.durationMs}, {"startTime", audio.startTimeMs}});
}

} // namespace mediainfo
