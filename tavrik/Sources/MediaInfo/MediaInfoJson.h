#pragma once
// JSON form of the media-information records: the reply of "info" and "infos".
// A video or audio object carries "type" and the record's keys at one level;
// the start time is keyed "startTime"; absent optionals are left out.

#include "MediaInfo/MediaInfoRecords.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace mediainfo {

nlohmann::json toJson(const VideoInfo& info);
nlohmann::json toJson(const AudioInfo& info);
nlohmann::json toJson(const MediaInfo& info);
nlohmann::json toJson(const MediaInfoResult& result);

// Reading back: absent when a required key is missing, a value has the wrong
// type, an integer is not whole or out of range, or "type" is unknown.
std::optional<VideoInfo> videoInfoFromJson(const nlohmann::json& json);
std::optional<AudioInfo> audioInfoFromJson(const nlohmann::json& json);
std::optional<MediaInfo> mediaInfoFromJson(const nlohmann::json& json);
std::optional<MediaInfoResult> mediaInfoResultFromJson(const nlohmann::json& json);

// The name of the first floating-point field that is NaN or infinite (by its
// JSON key), or absent when the record can be written as JSON.
std::optional<std::string> nonFiniteField(const MediaInfo& info);

} // namespace mediainfo
