#include "Tavrik/InfoCommands.h"

#include "Tavrik/Emit.h"
#include "Tavrik/JsonWriter.h"
#include "Tavrik/Output.h"
#include "Tavrik/Text.h"

#include "MediaInfo/MediaInfo.h"
#include "MediaInfo/MediaInfoJson.h"

#include <vector>

namespace tavrik {
namespace {

// Writes the reply, or nothing when it has no JSON text.
void writeReply(const Json& reply) {
    if (auto text = writeJson(reply)) output()->writeLine(*text);
}

std::vector<std::string> splitPaths(const std::string& pathsStr) {
    std::vector<std::string> paths;
    size_t begin = 0;
    while (begin <= pathsStr.size()) {
        size_t comma = pathsStr.find(',', begin);
        if (comma == std::string::npos) comma = pathsStr.size();
        if (comma > begin) paths.push_back(trimmedSpaces(std::string_view(pathsStr).substr(begin, comma - begin)));
        begin = comma + 1;
    }
    return paths;
}

} // namespace

void handleInfo(const std::string& path) {
    if (path.empty()) {
        emit("error", {{"message", "No path provided"}, {"code", "INVALID_COMMAND"}});
        return;
    }
    writeReply(mediainfo::toJson(mediainfo::getMediaInfo(path)));
}

void handleInfos(const std::string& pathsStr) {
    if (pathsStr.empty()) {
        emit("error", {{"message", "No paths provided"}, {"code", "INVALID_COMMAND"}});
        return;
    }
    Json reply = Json::array();
    for (const auto& result : mediainfo::getMediaInfoBulk(splitPaths(pathsStr))) reply.push_back(mediainfo::toJson(result));
    writeReply(reply);
}

} // namespace tavrik
