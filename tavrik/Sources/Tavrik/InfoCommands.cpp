#include "Tavrik/InfoCommands.h"

#include "Tavrik/Emit.h"
#include "Tavrik/JsonWriter.h"
#include "Tavrik/Output.h"
#include "Tavrik/Text.h"

#include "MediaInfo/MediaInfo.h"
#include "MediaInfo/MediaInfoJson.h"

#include <optional>
#include <string>
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
    // Each result becomes its JSON text as soon as its probe finishes, and the
    // array is those texts joined: a request of many paths holds their texts
    // once, not records, JSON values and text side by side.
    std::vector<std::string> paths = splitPaths(pathsStr);
    mediainfo::BulkPlan plan = mediainfo::planBulk(paths);
    std::vector<std::optional<std::string>> texts(plan.entryOfSlot.size());
    mediainfo::probeBulk(paths, plan, [&](size_t slot, mediainfo::MediaInfoResult&& result) {
        texts[slot] = writeJson(mediainfo::toJson(result));
    });
    std::vector<std::string>().swap(paths);

    size_t length = 2;
    for (size_t slot : plan.slotOfEntry) {
        // A result without a JSON text costs the whole reply, as for "info".
        if (!texts[slot]) return;
        length += texts[slot]->size() + 1;
    }
    std::string reply;
    reply.reserve(length);
    reply += '[';
    for (size_t entry = 0; entry < plan.slotOfEntry.size(); ++entry) {
        if (entry > 0) reply += ',';
        reply += *texts[plan.slotOfEntry[entry]];
    }
    reply += ']';
    output()->writeLine(reply);
}

} // namespace tavrik
