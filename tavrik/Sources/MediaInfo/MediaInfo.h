#pragma once
// The prober's entry points: one file, or many at once. Neither fails: every
// failure becomes the result's error text.

#include "MediaInfo/MediaInfoRecords.h"
#include "platform/media_asset.h"

#include <string>
#include <string_view>
#include <vector>

namespace mediainfo {

// Probes the path (trimmed of tabs and space separators) with the installed platform's media assets.
MediaInfoResult getMediaInfo(std::string_view path);
MediaInfoResult getMediaInfo(std::string_view path, platform::MediaAssets& assets);

// Probes every path at once and answers one result per path, in list order;
// paths that are equal after trimming (canonically equivalent texts are
// equal) all get the result that finished first among them.
std::vector<MediaInfoResult> getMediaInfoBulk(const std::vector<std::string>& paths);
std::vector<MediaInfoResult> getMediaInfoBulk(const std::vector<std::string>& paths, platform::MediaAssets& assets);

} // namespace mediainfo
